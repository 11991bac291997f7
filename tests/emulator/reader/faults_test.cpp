// Scripted faults: each is used by the next request frame and changes how
// its reply (the final one, after NULL procedure frames) reaches the host.
#include <gtest/gtest.h>

#include <atomic>

#include "tests/emulator/reader/reader_harness.h"

namespace emu::test {
namespace {

const Bytes kStatusRequest = {0x12, 0x00, 0x02, 0x01, 0x31, 0x20};
const Bytes kStatusReply = {0x12, 0x00, 0x05, 0x01, 0x31, 0x00, 0x90, 0x00, 0xB7};

class Faults : public ::testing::Test {
 protected:
  Reader reader{InstantConfig()};
  Host host{reader};
};

TEST_F(Faults, SplitDeliversThreeBytesThenTheRest) {
  reader.ScriptFault(ReplyFault::Split({3}));
  host.Write(kStatusRequest, 0);
  EXPECT_EQ(host.Read(256, 0).data, (Bytes{0x12, 0x00, 0x05}));
  EXPECT_EQ(host.Read(256, 0).data, (Bytes{0x01, 0x31, 0x00, 0x90, 0x00, 0xB7}));
  EXPECT_EQ(reader.PendingFaults(), 0u);
  // The next reply is whole again.
  EXPECT_EQ(host.Exchange(kStatusRequest), kStatusReply);
}

TEST_F(Faults, SplitAtSeveralSizes) {
  reader.ScriptFault(ReplyFault::Split({1, 2, 1}));
  host.Write(kStatusRequest, 0);
  EXPECT_EQ(host.Read(256, 0).data.size(), 1u);
  EXPECT_EQ(host.Read(256, 0).data.size(), 2u);
  EXPECT_EQ(host.Read(256, 0).data.size(), 1u);
  EXPECT_EQ(host.Read(256, 0).data.size(), 5u);
}

TEST_F(Faults, DelayMovesTheReadyTime) {
  reader.ScriptFault(ReplyFault::Delay(30'000'000));
  host.Write(kStatusRequest, 1'000);
  const usb::InResult early = host.Read(256, 1'000);
  EXPECT_EQ(early.kind, usb::InResult::Kind::NotReady);
  EXPECT_EQ(early.readyAt, 30'001'000);
  EXPECT_EQ(host.Read(256, 30'000'999).kind, usb::InResult::Kind::NotReady);
  EXPECT_EQ(host.Read(256, 30'001'000).data, kStatusReply);
}

TEST_F(Faults, WithheldReplyWaitsForRelease) {
  std::atomic<int> wakes{0};
  reader.SetWake([&] { ++wakes; });
  reader.ScriptFault(ReplyFault::Withhold());
  host.Write(kStatusRequest, 0);
  const usb::InResult held = host.Read(256, 5'000'000'000);
  EXPECT_EQ(held.kind, usb::InResult::Kind::NotReady);
  EXPECT_EQ(held.readyAt, usb::kNever);
  reader.ReleaseWithheldReply();
  EXPECT_EQ(wakes.load(), 1);
  EXPECT_EQ(host.Read(256, 0).data, kStatusReply);
}

TEST_F(Faults, WithheldReplyIsDroppedWhenThePipeIsAborted) {
  reader.ScriptFault(ReplyFault::Withhold());
  host.Write(kStatusRequest, 0);
  reader.AbortEndpoint(kBulkInEndpoint);
  EXPECT_EQ(reader.QueuedReplies(), 0u);
  reader.ReleaseWithheldReply();
  EXPECT_EQ(host.Read(256, 0).kind, usb::InResult::Kind::NotReady);
  EXPECT_EQ(host.Exchange(kStatusRequest), kStatusReply);
}

TEST_F(Faults, BadCheckByte) {
  reader.ScriptFault(ReplyFault::BadCheckByte());
  const Bytes reply = host.Exchange(kStatusRequest);
  ASSERT_EQ(reply.size(), kStatusReply.size());
  EXPECT_TRUE(std::equal(reply.begin(), reply.end() - 1, kStatusReply.begin()));
  EXPECT_FALSE(CheckByteValid(reply));
}

TEST_F(Faults, ErrorReplyRefusesWithoutActing) {
  auto card = DualProtocolCard();
  reader.InsertCard(card);
  reader.ScriptFault(ReplyFault::ErrorReply());
  const Bytes reply = host.Exchange(NewCommand(0x40, {0x01, 0xD1, 0x01}));
  EXPECT_TRUE(IsNewErrorReply(reply));
  EXPECT_EQ(reply[1], 0x40);
  EXPECT_EQ(reply[4], 0xD1);
  EXPECT_FALSE(card->Powered());
}

TEST_F(Faults, NoReplySwallowsTheFrame) {
  auto card = DualProtocolCard();
  reader.InsertCard(card);
  reader.ScriptFault(ReplyFault::NoReply());
  host.Write(NewCommand(0, {0x01, 0x39}), 0);
  const usb::InResult in = host.Read(256, 50'000'000);
  EXPECT_EQ(in.kind, usb::InResult::Kind::NotReady);
  EXPECT_EQ(in.readyAt, usb::kNever);
  EXPECT_EQ(reader.CurrentCard(), card);  // not ejected
  EXPECT_EQ(host.Exchange(kStatusRequest)[5], 0x08);
}

TEST_F(Faults, TruncatedReplyStopsShort) {
  reader.ScriptFault(ReplyFault::Truncate(5));
  host.Write(kStatusRequest, 0);
  EXPECT_EQ(host.Read(256, 0).data, (Bytes{0x12, 0x00, 0x05, 0x01, 0x31}));
  EXPECT_EQ(host.Read(256, 0).kind, usb::InResult::Kind::NotReady);
  EXPECT_EQ(host.Exchange(kStatusRequest), kStatusReply);
}

TEST_F(Faults, OversizedReplyAnnouncesMoreThanTheHostsBuffer) {
  reader.ScriptFault(ReplyFault::Oversized(0x020000));
  host.Write(kStatusRequest, 0);
  const usb::InResult first = host.Read(256, 0);
  ASSERT_EQ(first.data.size(), 256u);
  EXPECT_EQ(Bytes(first.data.begin(), first.data.begin() + 4), (Bytes{0x10, 0x02, 0x00, 0x00}));
  std::size_t total = first.data.size();
  while (true) {
    const usb::InResult in = host.Read(256, 0);
    if (in.kind != usb::InResult::Kind::Data) break;
    total += in.data.size();
  }
  EXPECT_EQ(total, 0x020004u);
  EXPECT_EQ(host.Exchange(kStatusRequest), kStatusReply);
}

TEST_F(Faults, FaultGoesToTheFinalReplyAfterNullProcedureFrames) {
  reader.InsertCard(DualProtocolCard(1));
  host.Exchange(NewCommand(0, {0x01, 0xD1, 0x00}));
  reader.ScriptFault(ReplyFault::BadCheckByte());
  host.Write(BuildT0Frame(0x00, Bytes{0x80, 0x20, 0x00, 0x01, 0x01}), 0);
  EXPECT_TRUE(CheckByteValid(host.Read(265, 0).data));   // the NULL frame
  EXPECT_FALSE(CheckByteValid(host.Read(265, 0).data));  // the answer
}

TEST_F(Faults, FaultsAreUsedInOrder) {
  reader.ScriptFault(ReplyFault::BadCheckByte());
  reader.ScriptFault(ReplyFault::ErrorReply());
  EXPECT_EQ(reader.PendingFaults(), 2u);
  EXPECT_FALSE(CheckByteValid(host.Exchange(kStatusRequest)));
  EXPECT_TRUE(IsNewErrorReply(host.Exchange(kStatusRequest)));
  EXPECT_EQ(host.Exchange(kStatusRequest), kStatusReply);
}

TEST_F(Faults, FailedOutTransferLosesItsFrame) {
  reader.FailNextBulkOut(usb::TransferFailure{STATUS_DEVICE_DATA_ERROR, NTSTATUS_VALUE(0xC0000011)});
  const usb::OutResult out = host.Write(kStatusRequest, 0);
  EXPECT_TRUE(out.failed);
  EXPECT_EQ(out.failure.status, STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(out.failure.usbdStatus, 0xC0000011u);
  EXPECT_TRUE(reader.FramesReceived().empty());
  EXPECT_EQ(host.Read(256, 0).kind, usb::InResult::Kind::NotReady);
  EXPECT_EQ(host.Exchange(kStatusRequest), kStatusReply);
}

TEST_F(Faults, FailedInTransferKeepsTheReply) {
  host.Write(kStatusRequest, 0);
  reader.FailNextBulkIn();
  const usb::InResult failed = host.Read(256, 0);
  EXPECT_EQ(failed.kind, usb::InResult::Kind::Failed);
  EXPECT_EQ(failed.failure.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(host.Read(256, 0).data, kStatusReply);
}

TEST_F(Faults, DisabledPortUntilReset) {
  auto card = DualProtocolCard();
  reader.InsertCard(card);
  host.Exchange(NewCommand(0, {0x01, 0xD0}));
  host.Exchange(NewCommand(0, {0x01, 0x41}));
  host.Exchange(NewCommand(0, {0x01, 0xD1}));
  ASSERT_EQ(reader.StatusByte(), 0x38);
  reader.DisablePort();
  const usb::PortStatus disabled = reader.GetPortStatus();
  EXPECT_TRUE(disabled.connected);
  EXPECT_FALSE(disabled.enabled);
  EXPECT_TRUE(host.Write(kStatusRequest, 0).failed);
  EXPECT_EQ(host.Read(256, 0).kind, usb::InResult::Kind::Failed);
  reader.ResetPort();
  EXPECT_TRUE(reader.GetPortStatus().enabled);
  // The reset powered the card down and cleared the set-up bit.
  EXPECT_FALSE(card->Powered());
  EXPECT_EQ(host.Exchange(kStatusRequest)[5], 0x08);
}

TEST_F(Faults, ZeroLengthPacketsWhileIdle) {
  reader.SetZeroLengthWhenIdle(true);
  const usb::InResult idle = host.Read(256, 0);
  EXPECT_EQ(idle.kind, usb::InResult::Kind::Data);
  EXPECT_TRUE(idle.data.empty());
  reader.ScriptFault(ReplyFault::Delay(30'000));
  host.Write(kStatusRequest, 0);
  EXPECT_TRUE(host.Read(256, 29'999).data.empty());
  EXPECT_EQ(host.Read(256, 30'000).data, kStatusReply);
}

}  // namespace
}  // namespace emu::test
