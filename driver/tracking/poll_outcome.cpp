// What one status read of the presence poll means.
#include "driver/tracking/presence_poll.h"

#include "driver/reader/reader_commands.h"

BOOLEAN PollSeesCard(UCHAR ReaderStatus) {
  // A status of 0x38 (card in, powered, set up) has this bit too.
  return (ReaderStatus & ReaderStatusCardIn) != 0 ? TRUE : FALSE;
}

POLL_OUTCOME DecidePollOutcome(NTSTATUS Status, BOOLEAN PresentBefore, UCHAR ReaderStatus) {
  // Every negative status is a failed read, the warning STATUS_DEVICE_BUSY of
  // a reader that may not be asked included; STATUS_TIMEOUT is not one.
  if (!NT_SUCCESS(Status)) return PollOutcomeRetry;
  const BOOLEAN presentNow = PollSeesCard(ReaderStatus);
  if (presentNow && !PresentBefore) return PollOutcomeCardInserted;
  if (!presentNow && PresentBefore) return PollOutcomeCardRemoved;
  return PollOutcomeNoChange;
}
