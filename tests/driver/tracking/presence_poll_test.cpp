// The presence poll in simulated time, through the emulated reader: it asks
// the reader every 500 ms while somebody waits and never otherwise, reports
// insertion and removal to the waiting tracking request, leaves a reader in
// D3 alone, and stops.
#include <gtest/gtest.h>

#include "driver/reader/reader_commands.h"
#include "tests/fixture/plugged_reader.h"
#include "driver/tracking/presence_poll.h"

namespace {

using readertest::Bytes;
using readertest::ServedReader;

constexpr LONGLONG Ms = kernel::kMillisecond;

// New-generation status frames: 12 s 02 01 31 c.
std::size_t StatusReads(const std::vector<Bytes>& frames) {
  std::size_t count = 0;
  for (const Bytes& frame : frames) {
    if (frame.size() == 6 && frame[0] == 0x12 && frame[4] == CommandGetReaderStatus) ++count;
  }
  return count;
}

TEST(PresencePoll, ReportsAnInsertedCardToTheWaitingRequestAndThenStops) {
  ServedReader reader;
  reader.SettleReader();
  reader.SetCardStateField(SCARD_ABSENT);
  auto request = reader.Begin(IOCTL_SMARTCARD_IS_PRESENT);
  // Two polls, 500 ms apart, find no card.
  ServedReader::Wait(1200 * Ms);
  EXPECT_EQ(StatusReads(reader.Frames()), 2u);
  EXPECT_FALSE(request->Done());

  reader.InsertCard();
  const kernel::IoResult result = request->Wait();
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(reader.CardState(), SCARD_PRESENT);
  EXPECT_EQ(reader.Extension().OsData->NotificationIrp, nullptr);
  // The change ended the poll: nobody waits any more.
  EXPECT_EQ(reader.Context().TimerArmed, 0);
  reader.ClearTrace();
  ServedReader::Wait(3000 * Ms);
  EXPECT_TRUE(reader.Frames().empty());
}

// One row per situation the poll meets: the request that waits (if any), the
// poll's state before it is armed, and what the reader saw and the poll left.
// A row that holds the reader back (in D3, or not started) lets it go after
// the wait: the next poll then reads once, finds the card and stops.
TEST(PresencePoll, AsksTheReaderOnlyWhileSomebodyWaitsAndReportsOnlyChanges) {
  enum class Hold { None, D3, NotStarted };
  struct Row {
    const char* what;
    bool card;
    ULONG state;
    ULONG waiting;  // the tracking request that waits; 0 for none
    LONG pollRequested;
    Hold hold;
    bool silent;  // the status read gets no answer
    LONGLONG wait;
    std::size_t reads;
    bool done;
    ULONG stateAfter;
    LONG pollRequestedAfter, timerArmedAfter;
  };
  // clang-format off
  const Row rows[] = {
      {"nobody waits", false, SCARD_ABSENT, 0, 0, Hold::None, false, 3000, 0, false, SCARD_ABSENT, 0, 0},
      {"one read for PollRequested", true, SCARD_PRESENT, 0, 1, Hold::None, false, 3000, 1, false, SCARD_PRESENT, 0, 0},
      // A card in specific mode is still a card: no change to report.
      {"every 500 ms", true, SCARD_SPECIFIC, IOCTL_SMARTCARD_IS_ABSENT, 0, Hold::None, false, 2600, 5, false,
       SCARD_SPECIFIC, 0, 1},
      {"reader in D3", true, SCARD_ABSENT, IOCTL_SMARTCARD_IS_PRESENT, 1, Hold::D3, false, 2200, 0, false, SCARD_ABSENT,
       1, 1},
      // Created but not started: every transfer is refused, and the poll retries.
      {"failing read", true, SCARD_ABSENT, 0, 1, Hold::NotStarted, false, 1600, 0, false, SCARD_ABSENT, 1, 1},
      // STATUS_TIMEOUT is no error status: the new generation then reads 0x20, and the card counts as gone.
      {"unanswered read", true, SCARD_PRESENT, IOCTL_SMARTCARD_IS_ABSENT, 1, Hold::None, true, 8000, 1, true,
       SCARD_ABSENT, 0, 0},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ServedReader reader;
    if (row.card && row.hold != Hold::D3) reader.InsertCard();
    reader.SettleReader();
    reader.SetCardStateField(row.state);
    DeviceContext& context = reader.Context();
    context.PollRequested = row.pollRequested;
    if (row.hold == Hold::D3) reader.ReaderExtension().ReaderPowerState = ReaderPoweredDown;
    if (row.hold == Hold::NotStarted) context.DeviceStarted = 0;
    auto request = row.waiting != 0 ? reader.Begin(row.waiting) : nullptr;
    if (row.silent) reader.Reader().ScriptFault(emu::ReplyFault::NoReply());
    if (row.hold == Hold::D3) reader.InsertCard();
    ArmPresencePoll(&context);
    ArmPresencePoll(&context);
    EXPECT_EQ(context.TimerArmed, row.waiting != 0 || row.pollRequested != 0 ? 1 : 0) << "one timer at a time";

    ServedReader::Wait(row.wait * Ms);
    EXPECT_EQ(StatusReads(reader.Frames()), row.reads);
    EXPECT_EQ(request && request->Done(), row.done);
    EXPECT_EQ(reader.CardState(), row.stateAfter);
    EXPECT_EQ(context.PollRequested, row.pollRequestedAfter);
    EXPECT_EQ(context.TimerArmed, row.timerArmedAfter);
    if (row.silent) {
      EXPECT_EQ(context.ReaderStatus, ReaderStatusSetUp);
      EXPECT_NE(reader.Reader().CurrentCard(), nullptr);
    }
    if (row.hold != Hold::None) {
      reader.ReaderExtension().ReaderPowerState = ReaderPowered;
      context.DeviceStarted = 1;
      reader.ClearTrace();
      ServedReader::Wait(600 * Ms);
      EXPECT_EQ(StatusReads(reader.Frames()), 1u);
      EXPECT_EQ(reader.CardState(), SCARD_PRESENT);
      EXPECT_EQ(context.PollRequested, 0);
      EXPECT_EQ(context.TimerArmed, 0);
    }
    if (request) {
      const bool completes = row.done || row.hold != Hold::None;
      if (!completes) request->Cancel();
      EXPECT_EQ(request->Wait().status, completes ? STATUS_SUCCESS : STATUS_CANCELLED);
    }
  }
}

TEST(StopPresencePoll, WaitsForAnArmedTimerToFireAndRefusesArmingAfterwards) {
  ServedReader reader;
  reader.SettleReader();
  reader.SetCardStateField(SCARD_ABSENT);
  reader.Context().PollRequested = 1;
  ArmPresencePoll(&reader.Context());
  StopPresencePoll(&reader.Context());
  EXPECT_EQ(reader.Context().TimerArmed, 0);
  EXPECT_EQ(reader.Context().PollStopping, 1);
  EXPECT_EQ(reader.Context().PollRequested, 0);

  // The poll that was under way runs to its end; nothing arms again.
  reader.Context().PollRequested = 1;
  ArmPresencePoll(&reader.Context());
  EXPECT_EQ(reader.Context().TimerArmed, 0);
  ServedReader::Wait(3000 * Ms);
  EXPECT_EQ(StatusReads(reader.Frames()), 1u);
  EXPECT_EQ(InterlockedCompareExchange(&reader.Context().WorkItemsPending, 0, 0), 0);
  EXPECT_EQ(reader.Context().TimerArmed, 0);
}

}  // namespace
