// Ready times in simulated time: USB latency per transfer plus the
// characters exchanged with the card at its bit rate.
#include <gtest/gtest.h>

#include "tests/emulator/reader/reader_harness.h"

namespace emu::test {
namespace {

constexpr DeviceTime kLatency = 10'000;
constexpr DeviceTime kChar9600 = 12'500;  // 12 ETU at 9,600 bit/s: 1.25 ms

TEST(TimingModel, CharacterTimes) {
  struct Case {
    std::uint32_t bitRate;
    std::uint64_t characters;
    DeviceTime time;
  };
  const Case cases[] = {
      {9'600, 1, 12'500},   {9'600, 10, 125'000}, {76'800, 1, 1'563},  // 1,562.5 rounded up
      {76'800, 2, 3'125},   {115'200, 1, 1'042},  {115'200, 96, 100'000},
      {0, 100, 0},          {9'600, 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TimingModel::AtBitRate(c.bitRate).CardTime(c.characters), c.time) << c.bitRate << " " << c.characters;
  }
}

class Timing9600 : public ::testing::Test {
 protected:
  static ReaderConfig Config() {
    ReaderConfig config;
    config.timing = TimingModel::AtBitRate(9'600);
    config.timing.usbLatency = kLatency;
    config.timing.nullProcedureInterval = 1'000'000;
    config.transferBusyTime = 5'000'000;
    return config;
  }
  Reader reader{Config()};
  Host host{reader};

  // Writes at `at` and returns when the reply is ready.
  DeviceTime ReadyTime(const Bytes& frame, DeviceTime at) {
    host.Write(frame, at);
    const usb::InResult in = host.Read(256, at);
    EXPECT_EQ(in.kind, usb::InResult::Kind::NotReady);
    return in.readyAt;
  }
  void Drain(DeviceTime at) {
    while (host.Read(256, at).kind == usb::InResult::Kind::Data) {
    }
  }
};

TEST_F(Timing9600, ReaderCommandCostsOneLatency) {
  const usb::OutResult out = host.Write(NewCommand(0, {0x01, 0x31}), 100);
  EXPECT_EQ(out.completeAt, 100 + kLatency);
  const usb::InResult early = host.Read(256, 100);
  EXPECT_EQ(early.kind, usb::InResult::Kind::NotReady);
  EXPECT_EQ(early.readyAt, 100 + kLatency);
  const usb::InResult in = host.Read(256, 100 + kLatency);
  EXPECT_EQ(in.kind, usb::InResult::Kind::Data);
  EXPECT_EQ(in.completeAt, 100 + 2 * kLatency);
}

TEST_F(Timing9600, ResetWaitsForTheAtr) {
  auto card = DualProtocolCard();
  reader.InsertCard(card);
  const auto atrLength = static_cast<DeviceTime>(BuildAtr(card->Config().atr).size());
  EXPECT_EQ(ReadyTime(NewCommand(0, {0x01, 0xD1, 0x00}), 0), kLatency + atrLength * kChar9600);
}

TEST_F(Timing9600, T0FrameCountsCommandAndAnswer) {
  reader.InsertCard(DualProtocolCard());
  host.Write(NewCommand(0, {0x01, 0xD1, 0x00}), 0);
  Drain(1'000'000);
  // 5 command bytes, 6 answer bytes (4 data, SW1 SW2).
  const DeviceTime start = 2'000'000;
  EXPECT_EQ(ReadyTime(BuildT0Frame(0, Bytes{0x80, 0x20, 0x00, 0x04, 0x04}), start),
            start + kLatency + 11 * kChar9600);
}

TEST_F(Timing9600, NullProcedureFramesAreSpacedByTheCardsWait) {
  reader.InsertCard(DualProtocolCard(2));
  host.Write(NewCommand(0, {0x01, 0xD1, 0x00}), 0);
  Drain(1'000'000);
  const DeviceTime start = 2'000'000;
  host.Write(BuildT0Frame(0, Bytes{0x80, 0x20, 0x00, 0x02, 0x02}), start);
  const DeviceTime sent = start + kLatency + 5 * kChar9600;
  const DeviceTime null1 = sent + 1'000'000 + kChar9600;
  const DeviceTime null2 = null1 + 1'000'000 + kChar9600;
  const DeviceTime answer = null2 + 4 * kChar9600;
  EXPECT_EQ(host.Read(265, start).readyAt, null1);
  EXPECT_EQ(host.Read(265, null1).data.size(), 6u);
  EXPECT_EQ(host.Read(265, null1).readyAt, null2);
  EXPECT_EQ(host.Read(265, null2).data.size(), 6u);
  EXPECT_EQ(host.Read(265, null2).readyAt, answer);
  EXPECT_EQ(host.Read(265, answer).data.size(), 9u);
}

TEST_F(Timing9600, T1BlockCountsBothBlocks) {
  auto card = DualProtocolCard();
  reader.InsertCard(card);
  host.Write(NewCommand(0, {0x01, 0xD1, 0x01}), 0);
  Drain(1'000'000);
  const Bytes block = BuildNewFrame(0x52, 0x00, Bytes{0x80, 0x20, 0x00, 0x04, 0x04});
  const DeviceTime ready = ReadyTime(block, 2'000'000);
  const auto answer = static_cast<DeviceTime>(card->T1BlocksSent().back().size());
  EXPECT_EQ(ready, 2'000'000 + kLatency + (static_cast<DeviceTime>(block.size()) + answer) * kChar9600);
}

TEST_F(Timing9600, OldGenerationTransferIsBusyUntilTheCardIsDone) {
  reader.InsertCard(DualProtocolCard());
  host.Write(OldCommand({0x01, 0xD1}), 0);
  Drain(1'000'000);
  const DeviceTime start = 2'000'000;
  EXPECT_EQ(ReadyTime({0x51, 0x00, 0x00, 0x05, 0x80, 0x20, 0x00, 0x04, 0x04}, start), start + kLatency);
  Drain(start + kLatency);
  // 5 command bytes and 6 answer bytes, then the reader's own busy time.
  const DeviceTime done = start + kLatency + 11 * kChar9600 + 5'000'000;
  auto poll = [&](DeviceTime at) {
    host.Write(OldCommand({0x01, 0xD2}), at);
    const Bytes reply = host.Gather(Generation::Old, at + kLatency);
    return reply.size() > 6 ? reply[6] : 0xFF;
  };
  EXPECT_EQ(poll(start + 100'000), 0);
  EXPECT_EQ(poll(done - 1), 1);
  EXPECT_EQ(poll(done), 2);
}

TEST(TimingInstant, EverythingIsReadyAtOnce) {
  Reader reader(InstantConfig());
  Host host(reader);
  reader.InsertCard(DualProtocolCard());
  const usb::OutResult out = host.Write(NewCommand(0, {0x01, 0xD1}), 777);
  EXPECT_EQ(out.completeAt, 777);
  const usb::InResult in = host.Read(256, 777);
  EXPECT_EQ(in.kind, usb::InResult::Kind::Data);
  EXPECT_EQ(in.completeAt, 777);
}

}  // namespace
}  // namespace emu::test
