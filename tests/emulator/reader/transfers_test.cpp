// How frames cross the bulk pipes: split OUT transfers, zero-length packets,
// replies spread over IN transfers but never two in one, the log, threads.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/emulator/reader/reader_harness.h"

namespace emu::test {
namespace {

const Bytes kStatusRequest = {0x12, 0x00, 0x02, 0x01, 0x31, 0x20};
const Bytes kStatusReply = {0x12, 0x00, 0x05, 0x01, 0x31, 0x00, 0x90, 0x00, 0xB7};

class Transfers : public ::testing::Test {
 protected:
  Reader reader{InstantConfig()};
  Host host{reader};
};

TEST_F(Transfers, FrameSplitAtEveryPointIsAssembled) {
  const Bytes frame = {0x12, 0x00, 0x04, 0x01, 0xB0, 0x00, 0x09, 0xAE};
  ASSERT_TRUE(CheckByteValid(frame));
  for (std::size_t cut = 1; cut < frame.size(); ++cut) {
    reader.BulkOut(kBulkOutEndpoint, std::span(frame).first(cut), 0);
    EXPECT_EQ(host.Read(256, 0).kind, usb::InResult::Kind::NotReady) << cut;
    reader.BulkOut(kBulkOutEndpoint, std::span(frame).subspan(cut), 0);
    EXPECT_EQ(host.Gather(Generation::New, 0), BuildNewFrame(0x12, 0x00, Bytes{0x01, 0xB0, 0x90, 0x00})) << cut;
  }
  EXPECT_EQ(reader.CommandB0Parameter(), 0x09);
}

TEST_F(Transfers, OldCardFrameIn64BytePackets) {
  reader.InsertCard(DualProtocolCard());
  host.Exchange(OldCommand({0x01, 0xD1}));
  Bytes apdu = {0x80, 0x22, 0x00, 0x00, 0x00, 0x01, 0x2C};  // extended echo of 300 bytes
  for (int i = 0; i < 300; ++i) apdu.push_back(static_cast<std::uint8_t>(i));
  apdu.push_back(0x00);
  apdu.push_back(0x00);
  const Bytes frame = BuildOldFrame(kOldT1CardType, apdu);
  for (std::size_t at = 0; at < frame.size(); at += 64) {
    const std::size_t n = std::min<std::size_t>(64, frame.size() - at);
    reader.BulkOut(kBulkOutEndpoint, std::span(frame).subspan(at, n), 0);
  }
  EXPECT_EQ(host.Gather(Generation::Old, 0), (Bytes{0x51, 0x00, 0x00, 0x02, 0x90, 0x00}));
  EXPECT_EQ(reader.CurrentTransferState(), TransferState::Started);
}

TEST_F(Transfers, SixtyFourByteFrameAndItsZeroLengthPacketGetOneReply) {
  reader.InsertCard(DualProtocolCard());
  host.Exchange(OldCommand({0x01, 0xD1}));
  Bytes apdu = {0x80, 0x22, 0x00, 0x00, 55};
  apdu.resize(60, 0x3C);
  const Bytes frame = BuildOldFrame(kOldT1CardType, apdu);
  ASSERT_EQ(frame.size(), 64u);
  host.Write(frame, 0);
  EXPECT_EQ(reader.Counters().zeroLengthOuts, 1u);
  EXPECT_EQ(host.Gather(Generation::Old, 0).size(), 6u);
  EXPECT_EQ(host.Read(256, 0).kind, usb::InResult::Kind::NotReady);
}

TEST_F(Transfers, NeverTwoFramesInOneInTransfer) {
  host.Write(kStatusRequest, 0);
  host.Write(NewCommand(0x40, {0x01, 0x31}), 0);
  EXPECT_EQ(host.Read(256, 0).data, kStatusReply);
  const usb::InResult second = host.Read(256, 0);
  EXPECT_EQ(second.data.size(), 9u);
  EXPECT_EQ(second.data[1], 0x40);
}

TEST_F(Transfers, ReplyLongerThanTheRequestSpansTransfers) {
  host.Write(kStatusRequest, 0);
  EXPECT_EQ(host.Read(4, 0).data, (Bytes{0x12, 0x00, 0x05, 0x01}));
  EXPECT_EQ(host.Read(4, 0).data, (Bytes{0x31, 0x00, 0x90, 0x00}));
  EXPECT_EQ(host.Read(4, 0).data, (Bytes{0xB7}));
}

TEST_F(Transfers, EmptyInRequestMovesNothing) {
  host.Write(kStatusRequest, 0);
  const usb::InResult empty = host.Read(0, 0);
  EXPECT_EQ(empty.kind, usb::InResult::Kind::Data);
  EXPECT_TRUE(empty.data.empty());
  EXPECT_EQ(host.Read(256, 0).data, kStatusReply);
}

TEST_F(Transfers, LogKeepsFramesAndReplies) {
  host.Exchange(kStatusRequest, 5);
  host.Exchange({0x99}, 6);
  const std::vector<FrameRecord> received = reader.FramesReceived();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0].bytes, kStatusRequest);
  EXPECT_EQ(received[0].time, 5);
  EXPECT_EQ(received[1].bytes, Bytes{0x99});
  const std::vector<FrameRecord> sent = reader.RepliesSent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].bytes, kStatusReply);
  EXPECT_TRUE(IsNewErrorReply(sent[1].bytes));
  const ReaderCounters counters = reader.Counters();
  EXPECT_EQ(counters.framesReceived, 2u);
  EXPECT_EQ(counters.repliesQueued, 2u);
  EXPECT_EQ(counters.errorReplies, 1u);
  reader.ClearLog();
  EXPECT_TRUE(reader.FramesReceived().empty());
}

TEST_F(Transfers, UnreadRepliesAreBounded) {
  for (std::size_t i = 0; i < ReplyQueue::kCapacity + 10; ++i) host.Write(kStatusRequest, 0);
  EXPECT_EQ(reader.QueuedReplies(), ReplyQueue::kCapacity);
  EXPECT_EQ(reader.Counters().repliesLost, 10u);
}

TEST_F(Transfers, PortResetEmptiesTheReplyQueue) {
  host.Write(kStatusRequest, 0);
  reader.ResetPort();
  EXPECT_EQ(host.Read(256, 0).kind, usb::InResult::Kind::NotReady);
  EXPECT_EQ(reader.Counters().portResets, 1u);
}

// The host exchanges frames on one thread while cards come and go on
// another and a third reads the port: every reply stays a whole, valid frame.
TEST_F(Transfers, CardsComeAndGoWhileTheHostExchanges) {
  host.Exchange(NewCommand(0, {0x01, 0xD0}));
  host.Exchange(NewCommand(0, {0x01, 0x41}));
  std::atomic<bool> done{false};
  std::atomic<int> wakes{0};
  reader.SetWake([&] { ++wakes; });
  std::thread cards([&] {
    for (int i = 0; i < 500; ++i) {
      reader.InsertCard(DualProtocolCard());
      reader.RemoveCard();
    }
  });
  std::thread observer([&] {
    while (!done.load()) {
      EXPECT_TRUE(reader.GetPortStatus().connected);
      (void)reader.Counters();
    }
  });
  for (int i = 0; i < 500; ++i) {
    const Bytes reply = host.Exchange(NewCommand(static_cast<std::uint8_t>((i & 1) << 6), {0x01, 0x31}));
    ASSERT_EQ(reply.size(), 9u);
    EXPECT_TRUE(CheckByteValid(reply));
    EXPECT_EQ(reply[5] & 0xF7, 0x20);  // set up; the card bit may be either
  }
  cards.join();
  done = true;
  observer.join();
  EXPECT_EQ(wakes.load(), 1000);
  EXPECT_EQ(reader.StatusByte(), 0x20);
}

}  // namespace
}  // namespace emu::test
