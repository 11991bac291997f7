// What a status read means to the presence poll.
#include <gtest/gtest.h>

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

}  // namespace
