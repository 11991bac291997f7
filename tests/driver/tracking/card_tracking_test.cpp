// The card-tracking request: cancelled, cleaned up, completed by card state
// changes, and finished exactly once when it was cancelled before the
// driver's cancel routine was in place.
#include <gtest/gtest.h>

#include "tests/fixture/plugged_reader.h"
#include "driver/tracking/card_tracking.h"
#include "driver/tracking/presence_poll.h"

namespace {

using readertest::ServedReader;

constexpr LONGLONG Ms = kernel::kMillisecond;

PIRP WaitingRequest(const ServedReader& reader) { return reader.Extension().OsData->NotificationIrp; }

TEST(CardTracking, CancelledWaitingRequestEndsCancelledAndTheSlotIsEmpty) {
  ServedReader reader;
  reader.SettleReader();
  reader.SetCardStateField(SCARD_ABSENT);
  auto request = reader.Begin(IOCTL_SMARTCARD_IS_PRESENT);
  ASSERT_NE(WaitingRequest(reader), nullptr);
  EXPECT_NE(WaitingRequest(reader)->CancelRoutine, nullptr);

  EXPECT_TRUE(request->Cancel());
  const kernel::IoResult result = request->Wait();
  EXPECT_EQ(result.status, STATUS_CANCELLED);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(WaitingRequest(reader), nullptr);
  // The timer set for the request fires once more and finds nobody waiting.
  ServedReader::Wait(2000 * Ms);
  EXPECT_LE(reader.Frames().size(), 1u);
  EXPECT_EQ(reader.Context().TimerArmed, 0);
  EXPECT_EQ(reader.CardState(), SCARD_ABSENT);
}

// SetCardState with a request waiting: the state it writes and whether the request ends.
TEST(SetCardState, CompletesTheWaitingRequestOnEveryReportButAbsentToAbsent) {
  struct Row {
    ULONG stateBefore;
    ULONG waitFor;
    UCHAR present;
    UCHAR suppress;
    ULONG stateAfter;
    bool completed;
  };
  const Row rows[] = {
      // Absent to absent: the request keeps waiting.
      {SCARD_ABSENT, IOCTL_SMARTCARD_IS_PRESENT, 0, 0, SCARD_ABSENT, false},
      {SCARD_UNKNOWN, IOCTL_SMARTCARD_IS_PRESENT, 0, 0, SCARD_ABSENT, false},
      // Only 1 means present.
      {SCARD_ABSENT, IOCTL_SMARTCARD_IS_PRESENT, 2, 0, SCARD_ABSENT, false},
      {SCARD_UNKNOWN, IOCTL_SMARTCARD_IS_PRESENT, 1, 0, SCARD_PRESENT, true},
      {SCARD_ABSENT, IOCTL_SMARTCARD_IS_PRESENT, 1, 0, SCARD_PRESENT, true},
      // A card in specific mode reported present again falls back to present.
      {SCARD_SPECIFIC, IOCTL_SMARTCARD_IS_ABSENT, 1, 0, SCARD_PRESENT, true},
      {SCARD_NEGOTIABLE, IOCTL_SMARTCARD_IS_ABSENT, 0, 0, SCARD_ABSENT, true},
      // Suppressed: the state is written, the request left alone.
      {SCARD_PRESENT, IOCTL_SMARTCARD_IS_ABSENT, 0, 1, SCARD_ABSENT, false},
      {SCARD_ABSENT, IOCTL_SMARTCARD_IS_PRESENT, 1, 1, SCARD_PRESENT, false},
      {SCARD_PRESENT, IOCTL_SMARTCARD_IS_ABSENT, 1, 0xFF, SCARD_PRESENT, false},
      // A card that was there and is reported as anything but 1 has gone.
      {SCARD_PRESENT, IOCTL_SMARTCARD_IS_ABSENT, 2, 0, SCARD_ABSENT, true},
  };
  ServedReader reader;
  // SetCardState alone is under test: no poll comes between the rows.
  StopPresencePoll(&reader.Context());
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.stateBefore << " " << int{row.present} << " " << int{row.suppress});
    reader.SetCardStateField(row.stateBefore);
    auto request = reader.Begin(row.waitFor);
    ASSERT_FALSE(request->Done());
    SetCardState(&reader.Context(), row.present, row.suppress);
    EXPECT_EQ(reader.CardState(), row.stateAfter);
    EXPECT_EQ(request->Done(), row.completed);
    if (row.completed) {
      EXPECT_EQ(request->Wait().status, STATUS_SUCCESS);
      EXPECT_EQ(WaitingRequest(reader), nullptr);
    } else {
      EXPECT_NE(WaitingRequest(reader), nullptr);
      request->Cancel();
      EXPECT_EQ(request->Wait().status, STATUS_CANCELLED);
    }
  }
}

// A request cancelled after the library parked it but before CardTracking
// installed the cancel routine: the cancellation finds nothing to call, and
// whatever takes the request next (CardTracking, a card state change, the
// cleanup of any handle) finishes it as cancelled, once.
TEST(CardTracking, FinishesARequestCancelledBeforeItsCancelRoutineWasInPlace) {
  enum class Next { CardTracking, SetCardState, Cleanup };
  for (const Next next : {Next::CardTracking, Next::SetCardState, Next::Cleanup}) {
    SCOPED_TRACE(static_cast<int>(next));
    ServedReader reader;
    reader.SetCardStateField(SCARD_ABSENT);
    auto request = reader.ParkTrackingRequest();
    if (next != Next::Cleanup) {
      EXPECT_FALSE(request->Cancel());
      EXPECT_FALSE(request->Done());
    }
    if (next == Next::CardTracking) {
      EXPECT_EQ(CardTracking(&reader.Extension()), STATUS_PENDING);
    }
    if (next == Next::SetCardState) SetCardState(&reader.Context(), 1, 0);
    if (next == Next::Cleanup) {
      PFILE_OBJECT handle = nullptr;
      ASSERT_EQ(kernel::OpenFile(reader.Device(), u"", &handle), STATUS_SUCCESS);
      EXPECT_EQ(kernel::CloseFile(handle), STATUS_SUCCESS);
    }
    EXPECT_EQ(request->Wait().status, STATUS_CANCELLED);
    EXPECT_EQ(WaitingRequest(reader), nullptr);
    EXPECT_EQ(reader.CardState(), next == Next::SetCardState ? SCARD_PRESENT : SCARD_ABSENT);
    // CardTracking, called late, finds the slot empty and still answers pending; nobody waits, nothing is armed.
    if (next == Next::Cleanup) {
      EXPECT_EQ(CardTracking(&reader.Extension()), STATUS_PENDING);
    }
    EXPECT_EQ(reader.Context().TimerArmed, 0);
  }
}

}  // namespace
