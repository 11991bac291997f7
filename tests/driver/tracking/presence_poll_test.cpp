// The presence poll in simulated time, through the emulated reader: it asks
// the reader every 500 ms while somebody waits and never otherwise, reports
// insertion and removal to the waiting tracking request, leaves a reader in
// D3 alone, and stops.
#include <gtest/gtest.h>

#include "driver/reader/reader_commands.h"
#include "tests/fixture/served_reader.h"
#include "driver/tracking/presence_poll.h"

namespace {

using trackingtest::Bytes;
using trackingtest::ServedReader;

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
  const UCHAR s = reader.Context().SequenceByte;
  auto request = reader.StartControl(IOCTL_SMARTCARD_IS_PRESENT);
  EXPECT_FALSE(request->Done());
  EXPECT_EQ(reader.Context().TimerArmed, 1);

  // Two polls, 500 ms apart, find no card.
  ServedReader::Wait(1200 * Ms);
  const std::vector<Bytes> frames = reader.Frames();
  ASSERT_EQ(StatusReads(frames), 2u);
  // 12 s 02 01 31 c, the sequence byte moving on after each answered read.
  EXPECT_EQ(frames[0], (Bytes{0x12, s, 0x02, 0x01, 0x31, static_cast<UCHAR>(0x20 ^ s)}));
  EXPECT_EQ(frames[1], (Bytes{0x12, static_cast<UCHAR>(s ^ 0x40), 0x02, 0x01, 0x31, static_cast<UCHAR>(0x60 ^ s)}));
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

TEST(PresencePoll, NeitherArmsNorAsksTheReaderWhileNobodyWaits) {
  ServedReader reader;
  reader.SettleReader();
  ArmPresencePoll(&reader.Context());
  EXPECT_EQ(reader.Context().TimerArmed, 0);
  ServedReader::Wait(3000 * Ms);
  EXPECT_TRUE(reader.Frames().empty());
}

TEST(PresencePoll, ArmsOneTimerAtATimeAndClearsPollRequestedWithTheFirstRead) {
  ServedReader reader;
  reader.InsertCard();
  reader.SettleReader();
  reader.SetCardStateField(SCARD_PRESENT);
  reader.Context().PollRequested = 1;
  ArmPresencePoll(&reader.Context());
  ArmPresencePoll(&reader.Context());
  EXPECT_EQ(reader.Context().TimerArmed, 1);

  ServedReader::Wait(3000 * Ms);
  // One read, no change: PollRequested is cleared and nobody else waits.
  EXPECT_EQ(StatusReads(reader.Frames()), 1u);
  EXPECT_EQ(reader.Context().PollRequested, 0);
  EXPECT_EQ(reader.Context().TimerArmed, 0);
  EXPECT_EQ(reader.CardState(), SCARD_PRESENT);
}

TEST(PresencePoll, AsksEvery500MillisecondsWhileARequestWaitsAndNothingChanges) {
  ServedReader reader;
  reader.InsertCard();
  reader.SettleReader();
  // A card in specific mode is still a card: no change to report.
  reader.SetCardStateField(SCARD_SPECIFIC);
  auto request = reader.StartControl(IOCTL_SMARTCARD_IS_ABSENT);
  ServedReader::Wait(2600 * Ms);
  EXPECT_EQ(StatusReads(reader.Frames()), 5u);
  EXPECT_EQ(reader.CardState(), SCARD_SPECIFIC);
  EXPECT_FALSE(request->Done());
  request->Cancel();
  EXPECT_EQ(request->Wait().status, STATUS_CANCELLED);
}

TEST(PresencePoll, LeavesAReaderInD3AloneAndKeepsRetrying) {
  ServedReader reader;
  reader.SettleReader();
  reader.SetCardStateField(SCARD_ABSENT);
  reader.Context().PollRequested = 1;
  reader.Fixture().Extension().ReaderPowerState = ReaderPoweredDown;
  auto request = reader.StartControl(IOCTL_SMARTCARD_IS_PRESENT);
  reader.InsertCard();

  ServedReader::Wait(2200 * Ms);
  EXPECT_TRUE(reader.Frames().empty());
  EXPECT_FALSE(request->Done());
  EXPECT_EQ(reader.CardState(), SCARD_ABSENT);
  EXPECT_EQ(reader.Context().PollRequested, 1);
  EXPECT_EQ(reader.Context().TimerArmed, 1);

  // Back in D0, the next poll sees the card.
  reader.Fixture().Extension().ReaderPowerState = ReaderPowered;
  EXPECT_EQ(request->Wait().status, STATUS_SUCCESS);
  EXPECT_EQ(StatusReads(reader.Frames()), 1u);
  EXPECT_EQ(reader.CardState(), SCARD_PRESENT);
  EXPECT_EQ(reader.Context().PollRequested, 0);
}

TEST(PresencePoll, RetriesAFailingReadWithPollRequestedKept) {
  ServedReader reader;
  reader.InsertCard();
  reader.SettleReader();
  reader.SetCardStateField(SCARD_ABSENT);
  // Created but not started: every transfer is refused.
  reader.Context().DeviceStarted = 0;
  reader.Context().PollRequested = 1;
  ArmPresencePoll(&reader.Context());

  ServedReader::Wait(1600 * Ms);
  EXPECT_TRUE(reader.Frames().empty());
  EXPECT_EQ(reader.Context().PollRequested, 1);
  EXPECT_EQ(reader.Context().TimerArmed, 1);
  EXPECT_EQ(reader.CardState(), SCARD_ABSENT);

  reader.Context().DeviceStarted = 1;
  ServedReader::Wait(600 * Ms);
  EXPECT_EQ(StatusReads(reader.Frames()), 1u);
  EXPECT_EQ(reader.Context().PollRequested, 0);
  EXPECT_EQ(reader.CardState(), SCARD_PRESENT);
  EXPECT_EQ(reader.Context().TimerArmed, 0);
}

TEST(PresencePoll, TakesAStatusReadThatTimesOutForARemovedCard) {
  ServedReader reader;
  reader.InsertCard();
  reader.SettleReader();
  reader.SetCardStateField(SCARD_PRESENT);
  reader.Context().PollRequested = 1;
  auto request = reader.StartControl(IOCTL_SMARTCARD_IS_ABSENT);
  // STATUS_TIMEOUT is no error status: the new generation then reads 0x20.
  reader.Reader().ScriptFault(emu::ReplyFault::NoReply());
  EXPECT_EQ(request->Wait().status, STATUS_SUCCESS);
  EXPECT_EQ(reader.Context().ReaderStatus, ReaderStatusSetUp);
  EXPECT_EQ(reader.CardState(), SCARD_ABSENT);
  EXPECT_EQ(reader.Context().PollRequested, 0);
  EXPECT_NE(reader.Reader().CurrentCard(), nullptr);
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

// Keeps one critical worker thread busy for 3 seconds.
void OccupyWorker(PVOID) { kernel::SleepFor(3000 * Ms); }

TEST(StopPresencePoll, GivesUpOnATimerWhoseWorkCannotStartAfterTenWaits) {
  ServedReader reader;
  reader.SettleReader();
  reader.Context().PollRequested = 1;
  WORK_QUEUE_ITEM blockers[2];
  for (WORK_QUEUE_ITEM& blocker : blockers) {
    ExInitializeWorkItem(&blocker, OccupyWorker, nullptr);
    ExQueueWorkItem(&blocker, CriticalWorkQueue);
  }
  ArmPresencePoll(&reader.Context());
  StopPresencePoll(&reader.Context());
  // After ten waits of 100 ms: the timer fired, its work item is queued but not started.
  EXPECT_EQ(reader.Context().TimerArmed, 0);
  EXPECT_EQ(InterlockedCompareExchange(&reader.Context().WorkItemsPending, 0, 0), 1);
  EXPECT_TRUE(reader.Frames().empty());

  // Once a worker is free the routine runs to its end and arms nothing.
  for (int step = 0; step < 5000 && InterlockedCompareExchange(&reader.Context().WorkItemsPending, 0, 0) != 0; ++step) {
    ServedReader::Wait(Ms);
  }
  EXPECT_EQ(InterlockedCompareExchange(&reader.Context().WorkItemsPending, 0, 0), 0);
  EXPECT_EQ(reader.Context().TimerArmed, 0);
  ServedReader::Wait(3000 * Ms);
  EXPECT_EQ(StatusReads(reader.Frames()), 1u);
}

}  // namespace
