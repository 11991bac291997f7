// Frames no host should send: each gets the error reply or a clean refusal,
// and the reader keeps working.
#include <gtest/gtest.h>

#include <random>

#include "tests/emulator/reader/reader_harness.h"

namespace emu::test {
namespace {

const Bytes kStatusRequest = {0x12, 0x00, 0x02, 0x01, 0x31, 0x20};

class Malformed : public ::testing::Test {
 protected:
  Reader reader{InstantConfig()};
  Host host{reader};
};

TEST_F(Malformed, UnknownFrameTypeGetsTheErrorReplyOfTheReadersGeneration) {
  EXPECT_EQ(host.Exchange({0x99, 0x01, 0x02, 0x03}), (Bytes{0x21, 0x00, 0x04, 0x01, 0x99, 0xF6, 0xAD, 0xE6}));
  Reader old(InstantConfig("1.50"));
  Host oldHost(old);
  EXPECT_EQ(oldHost.Exchange({0x99, 0x01}), (Bytes{0x21, 0x00, 0x00, 0x04, 0x01, 0x99, 0xF6, 0xAD}));
}

TEST_F(Malformed, BadCheckByteKeepsTheControlByte) {
  const Bytes reply = host.Exchange({0x12, 0x40, 0x02, 0x01, 0x31, 0x61});
  EXPECT_EQ(reply, (Bytes{0x21, 0x40, 0x04, 0x01, 0x31, 0xF1, 0xAD, 0x09}));
}

TEST_F(Malformed, NewFrameWithoutCommandByte) {
  const Bytes frames[] = {
      {0x12, 0x00, 0x00, 0x12},
      {0x12, 0x00, 0x01, 0x01, 0x12},
  };
  for (const Bytes& frame : frames) {
    const Bytes reply = host.Exchange(frame);
    EXPECT_TRUE(IsNewErrorReply(reply));
    EXPECT_EQ(reply[5], 0xF3);
  }
}

TEST_F(Malformed, ThreeByteFrameExpiresIntoTheErrorReply) {
  host.Write({0x12, 0x00, 0x02}, 0);
  const usb::InResult waiting = host.Read(256, 0);
  EXPECT_EQ(waiting.kind, usb::InResult::Kind::NotReady);
  EXPECT_EQ(waiting.readyAt, reader.Config().timing.frameAssemblyTimeout);
  const Bytes reply = host.Gather(Generation::New, reader.Config().timing.frameAssemblyTimeout);
  EXPECT_TRUE(IsNewErrorReply(reply));
  EXPECT_EQ(reply[5], 0xF3);
  EXPECT_EQ(host.Exchange(kStatusRequest, 2'000'000).size(), 9u);
}

TEST_F(Malformed, StaleFragmentIsDroppedBeforeTheNextFrame) {
  host.Write({0x12, 0x00}, 0);
  // The host comes back long after with a whole frame.
  const DeviceTime later = 10'000'000;
  host.Write(kStatusRequest, later);
  const Bytes first = host.Gather(Generation::New, later);
  EXPECT_TRUE(IsNewErrorReply(first));
  const Bytes second = host.Gather(Generation::New, later);
  EXPECT_EQ(second.size(), 9u);
  EXPECT_EQ(second[4], 0x31);
}

TEST_F(Malformed, AbortingTheOutPipeDropsAFragment) {
  host.Write({0x12, 0x00}, 0);
  reader.AbortEndpoint(kBulkOutEndpoint);
  EXPECT_EQ(host.Exchange(kStatusRequest).size(), 9u);
}

TEST_F(Malformed, BytesBehindAFrameInItsTransferAreDiscarded) {
  Bytes transfer = kStatusRequest;
  transfer.insert(transfer.end(), {0x12, 0x00, 0x02, 0x01, 0x31, 0x20});
  const Bytes reply = host.Exchange(transfer);
  EXPECT_EQ(reply.size(), 9u);
  EXPECT_EQ(reader.Counters().bytesDiscarded, 6u);
  EXPECT_EQ(host.Read(256, 0).kind, usb::InResult::Kind::NotReady);
}

TEST_F(Malformed, TransfersToMissingEndpointsStall) {
  EXPECT_TRUE(reader.BulkOut(0x01, kStatusRequest, 0).failed);
  EXPECT_TRUE(reader.BulkOut(0x81, kStatusRequest, 0).failed);
  EXPECT_EQ(reader.BulkIn(0x02, 256, 0).kind, usb::InResult::Kind::Failed);
  EXPECT_EQ(reader.BulkIn(0x83, 256, 0).kind, usb::InResult::Kind::Failed);

  ReaderConfig config = InstantConfig();
  config.endpointCount = 1;  // bulk IN only
  Reader inOnly(config);
  EXPECT_TRUE(inOnly.BulkOut(kBulkOutEndpoint, kStatusRequest, 0).failed);

  config.endpointCount = 0;
  Reader none(config);
  EXPECT_EQ(none.BulkIn(kBulkInEndpoint, 256, 0).kind, usb::InResult::Kind::Failed);

  config.endpointCount = 3;
  Reader three(config);
  const usb::InResult interrupt = three.BulkIn(kInterruptInEndpoint, 8, 0);
  EXPECT_EQ(interrupt.kind, usb::InResult::Kind::NotReady);
}

// Random transfers, many of them starting like real frames: every reply the
// reader gives is a whole frame in a known layout, nothing runs out of
// bounds (the sanitizer builds check that), and the reader still answers a
// status request afterwards.
TEST_F(Malformed, RandomTransfersNeverBreakTheReader) {
  reader.InsertCard(DualProtocolCard());
  std::mt19937 random(7816);
  const std::uint8_t starts[] = {0x10, 0x12, 0x50, 0x51, 0x52, 0x99, 0x00, 0xFF};
  DeviceTime now = 0;
  for (int i = 0; i < 3000; ++i) {
    Bytes transfer(random() % 300);
    for (auto& b : transfer) b = static_cast<std::uint8_t>(random());
    if (!transfer.empty() && random() % 2 == 0) transfer[0] = starts[random() % std::size(starts)];
    if (transfer.size() > 3 && random() % 2 == 0) transfer[1] = transfer[2] = 0;  // short lengths
    if (i % 97 == 0) reader.InsertCard(DualProtocolCard(random() % 3));
    host.Write(transfer, now);
    now += random() % 3 == 0 ? 2'000'000 : 1'000;
    while (true) {
      const usb::InResult in = host.Read(1 + random() % 300, now);
      if (in.kind != usb::InResult::Kind::Data || in.data.empty()) break;
    }
  }
  now += 10'000'000;
  host.Read(256, now);  // lets a pending fragment expire
  while (host.Read(256, now).kind == usb::InResult::Kind::Data) {
  }
  const Bytes reply = host.Exchange(kStatusRequest, now);
  ASSERT_EQ(reply.size(), 9u);
  EXPECT_EQ(reply[4], 0x31);
  EXPECT_TRUE(CheckByteValid(reply));
}

}  // namespace
}  // namespace emu::test
