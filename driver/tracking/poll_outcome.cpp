// What one status read of the presence poll means.
#include "driver/tracking/presence_poll.h"

#include "driver/tracking/card_presence.h"

POLL_OUTCOME DecidePollOutcome(NTSTATUS Status, BOOLEAN PresentBefore, UCHAR ReaderStatus) {
  // Every negative status is a failed read, the warning STATUS_DEVICE_BUSY of
  // a reader that may not be asked included; STATUS_TIMEOUT is not one.
  if (!NT_SUCCESS(Status)) return PollOutcomeRetry;
  const BOOLEAN presentNow = PollSeesCard(ReaderStatus);
  if (presentNow && !PresentBefore) return PollOutcomeCardInserted;
  if (!presentNow && PresentBefore) return PollOutcomeCardRemoved;
  return PollOutcomeNoChange;
}
