// The pure decisions of card tracking: what a status read means to the
// poll, and when a card state change completes the waiting request.
#include <gtest/gtest.h>

#include "driver/tracking/card_tracking.h"
#include "driver/tracking/presence_poll.h"

namespace {

TEST(PollDecision, ReportsOnlyChangesOfAReadThatDidNotFail) {
  struct Row {
    NTSTATUS status;
    BOOLEAN before;
    UCHAR readerStatus;
    POLL_OUTCOME outcome;
  };
  const Row rows[] = {
      {STATUS_SUCCESS, FALSE, 0x28, PollOutcomeCardInserted},
      {STATUS_SUCCESS, FALSE, 0x38, PollOutcomeCardInserted},
      {STATUS_SUCCESS, TRUE, 0x30, PollOutcomeCardRemoved},
      {STATUS_SUCCESS, TRUE, 0x20, PollOutcomeCardRemoved},
      {STATUS_SUCCESS, TRUE, 0x28, PollOutcomeNoChange},
      {STATUS_SUCCESS, FALSE, 0x20, PollOutcomeNoChange},
      // A reader that did not answer in time reports 0x20: the card counts as gone.
      {STATUS_TIMEOUT, TRUE, 0x20, PollOutcomeCardRemoved},
      // Errors change nothing, whatever the status byte says.
      {STATUS_DELETE_PENDING, FALSE, 0x28, PollOutcomeRetry},
      {STATUS_DEVICE_DATA_ERROR, TRUE, 0x20, PollOutcomeRetry},
      // The warning of a reader that may not be asked is negative too.
      {STATUS_DEVICE_BUSY, FALSE, 0x28, PollOutcomeRetry},
      {STATUS_DEVICE_BUSY, TRUE, 0x20, PollOutcomeRetry},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(DecidePollOutcome(row.status, row.before, row.readerStatus), row.outcome)
        << std::hex << row.status << " " << int{row.before} << " " << int{row.readerStatus};
  }
}

TEST(CardStateDecision, CompletesUnlessSuppressedOrAbsentToAbsent) {
  struct Row {
    BOOLEAN before;
    UCHAR present;
    UCHAR suppress;
    BOOLEAN completes;
  };
  const Row rows[] = {
      {FALSE, 1, 0, TRUE},   // inserted
      {TRUE, 0, 0, TRUE},    // removed
      {TRUE, 1, 0, TRUE},    // still present, as at D3: the resource manager asks again
      {FALSE, 0, 0, FALSE},  // absent to absent
      {FALSE, 2, 0, FALSE},  // only 1 means present
      {TRUE, 2, 0, TRUE},
      {FALSE, 1, 1, FALSE},  // power down records without completing
      {TRUE, 0, 1, FALSE},
      {TRUE, 1, 0xFF, FALSE},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(CardStateChangeCompletes(row.before, row.present, row.suppress), row.completes)
        << int{row.before} << " " << int{row.present} << " " << int{row.suppress};
  }
}

}  // namespace
