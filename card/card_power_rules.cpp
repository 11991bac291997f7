// Card power's presence rule and the status of a failed reader command.
#include "card/card_power.h"

#include "reader/reader_commands.h"

BOOLEAN CardPowerSeesCard(UCHAR ReaderStatus) {
  constexpr UCHAR present = ReaderStatusSetUp | ReaderStatusCardIn;
  return (ReaderStatus & present) == present ? TRUE : FALSE;
}

NTSTATUS ReaderCommandFailure(NTSTATUS Status) { return Status == STATUS_TIMEOUT ? STATUS_IO_TIMEOUT : Status; }
