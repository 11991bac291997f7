// The four rules of card presence.
#include "driver/tracking/card_presence.h"

#include "driver/reader/reader_commands.h"
#include "platform/smclib/winsmcrd.h"

namespace {

BOOLEAN AllBitsSet(UCHAR ReaderStatus, UCHAR Bits) { return (ReaderStatus & Bits) == Bits ? TRUE : FALSE; }

}  // namespace

BOOLEAN PollSeesCard(UCHAR ReaderStatus) { return AllBitsSet(ReaderStatus, ReaderStatusCardIn); }

BOOLEAN CardPowerSeesCard(UCHAR ReaderStatus) {
  return AllBitsSet(ReaderStatus, ReaderStatusSetUp | ReaderStatusCardIn);
}

BOOLEAN StartSeesPoweredCard(UCHAR ReaderStatus) {
  return AllBitsSet(ReaderStatus, ReaderStatusSetUp | ReaderStatusCardPowered | ReaderStatusCardIn);
}

BOOLEAN CardStateShowsCard(ULONG CurrentState) { return CurrentState > SCARD_ABSENT ? TRUE : FALSE; }
