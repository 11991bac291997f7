// New-generation card frames (address 0x52): T=0 TPDUs the reader runs with
// the card, and T=1 blocks it carries unchanged.
#include <gtest/gtest.h>

#include "tests/emulator/reader/reader_harness.h"

namespace emu::test {
namespace {

class CardFrames : public ::testing::Test {
 protected:
  Reader reader{InstantConfig("2.27")};
  Host host{reader};

  std::shared_ptr<Card> PowerCard(std::shared_ptr<Card> card, std::uint8_t parameter) {
    reader.InsertCard(card);
    host.Exchange(NewCommand(0, {0x01, 0xD1, parameter}));
    return card;
  }
};

TEST_F(CardFrames, T0FrameCarriesTheResponseAndStatusWords) {
  PowerCard(DualProtocolCard(), 0x00);
  ASSERT_EQ(reader.ProtocolMode(), CardFrameMode::T0);
  // 80 20 00 04 04: generate 4 bytes.
  const Bytes frame = {0x52, 0x00, 0x00, 0x05, 0x80, 0x20, 0x00, 0x04, 0x04, 0xF7};
  ASSERT_TRUE(CheckByteValid(frame));
  const Bytes reply = host.Exchange(frame);
  const Bytes expected = {
      0x52, 0x00,              // address, the request's control byte
      0x00, 0x06,              // two-byte length
      0x00, 0x01, 0x02, 0x03,  // response data
      0x90, 0x00,              // SW1 SW2
      0xC4,                    // check byte
  };
  EXPECT_EQ(reply, expected);
  EXPECT_TRUE(CheckByteValid(reply));
}

TEST_F(CardFrames, T0FrameEchoesControlByte0x40) {
  PowerCard(DualProtocolCard(), 0x00);
  const Bytes reply = host.Exchange(BuildT0Frame(0x40, Bytes{0x80, 0x20, 0x00, 0x01, 0x01}));
  EXPECT_EQ(reply, BuildT0Frame(0x40, Bytes{0x00, 0x90, 0x00}));
}

TEST_F(CardFrames, EveryNullProcedureByteIsAFrameOfItsOwn) {
  PowerCard(DualProtocolCard(2), 0x00);
  host.Write(BuildT0Frame(0x00, Bytes{0x80, 0x20, 0x00, 0x02, 0x02}), 0);
  // The host reads T=0 replies 265 bytes at a time; each frame comes alone.
  const Bytes nullFrame = {0x52, 0x00, 0x00, 0x01, 0x60, 0x33};
  EXPECT_EQ(host.Read(265, 0).data, nullFrame);
  EXPECT_EQ(host.Read(265, 0).data, nullFrame);
  EXPECT_EQ(host.Read(265, 0).data, BuildT0Frame(0x00, Bytes{0x00, 0x01, 0x90, 0x00}));
  EXPECT_EQ(host.Read(265, 0).kind, usb::InResult::Kind::NotReady);
}

TEST_F(CardFrames, T0FrameOf59CommandBytesIsFollowedByAZeroLengthPacket) {
  PowerCard(DualProtocolCard(), 0x00);
  // 80 22 echo with 54 data bytes: 59 command bytes, a 64-byte frame.
  Bytes tpdu = {0x80, 0x22, 0x00, 0x00, 54};
  for (int i = 0; i < 54; ++i) tpdu.push_back(static_cast<std::uint8_t>(i));
  const Bytes frame = BuildT0Frame(0x00, tpdu);
  ASSERT_EQ(frame.size(), 64u);
  const Bytes reply = host.Exchange(frame);
  EXPECT_EQ(reader.Counters().zeroLengthOuts, 1u);
  EXPECT_EQ(reader.Counters().framesReceived, 2u);  // the reset and this frame
  ASSERT_GE(reply.size(), 7u);
  EXPECT_TRUE(CheckByteValid(reply));
  EXPECT_EQ(reply.size(), ((std::size_t{reply[2]} << 8) | reply[3]) + 5);
}

TEST_F(CardFrames, T0FrameRefusals) {
  PowerCard(DualProtocolCard(), 0x00);
  struct Case {
    Bytes frame;
    std::uint8_t code;
  };
  Bytes badCheck = BuildT0Frame(0x40, Bytes{0x80, 0x20, 0x00, 0x01, 0x01});
  badCheck.back() ^= 0x01;
  Bytes tooLong = {0x52, 0x00, 0x01, 0x05};  // 261 command bytes
  tooLong.resize(4 + 261 + 1, 0x00);
  const Case cases[] = {
      {badCheck, 0xF1},
      {{0x52, 0x00, 0x00, 0x03, 0x80, 0x20, 0x00, 0xF1}, 0xF3},  // shorter than a TPDU header
      {tooLong, 0xF3},
  };
  for (const Case& c : cases) {
    const Bytes reply = host.Exchange(c.frame);
    EXPECT_TRUE(IsNewErrorReply(reply));
    EXPECT_EQ(reply[1], c.frame[1]);
    EXPECT_EQ(reply[4], 0x52);
    EXPECT_EQ(reply[5], c.code);
  }
}

TEST_F(CardFrames, CardFrameWithoutPoweredCardIsRefused) {
  reader.InsertCard(DualProtocolCard());
  const Bytes reply = host.Exchange(BuildT0Frame(0x00, Bytes{0x80, 0x20, 0x00, 0x01, 0x01}));
  EXPECT_EQ(reply, (Bytes{0x21, 0x00, 0x04, 0x01, 0x52, 0xF5, 0xAD, 0x2E}));
}

TEST_F(CardFrames, T1BlockGoesToTheCardAndBackUnchanged) {
  auto card = PowerCard(DualProtocolCard(), 0x01);
  ASSERT_EQ(reader.ProtocolMode(), CardFrameMode::T1);
  // NAD PCB LEN, APDU 80 20 00 04 04, LRC.
  const Bytes block = BuildNewFrame(0x52, 0x00, Bytes{0x80, 0x20, 0x00, 0x04, 0x04});
  const Bytes reply = host.Exchange(block);
  ASSERT_FALSE(card->T1BlocksReceived().empty());
  EXPECT_EQ(card->T1BlocksReceived().back(), block);
  ASSERT_FALSE(card->T1BlocksSent().empty());
  EXPECT_EQ(reply, card->T1BlocksSent().back());
  ASSERT_EQ(reply.size(), 10u);  // INF: 00 01 02 03 90 00
  EXPECT_EQ(Bytes(reply.begin() + 3, reply.end() - 1), (Bytes{0x00, 0x01, 0x02, 0x03, 0x90, 0x00}));
}

TEST_F(CardFrames, T1BlockWithWrongLrcIsTheCardsBusiness) {
  auto card = PowerCard(DualProtocolCard(), 0x01);
  Bytes block = BuildNewFrame(0x52, 0x00, Bytes{0x80, 0x20, 0x00, 0x04, 0x04});
  block.back() ^= 0x55;
  const Bytes reply = host.Exchange(block);
  EXPECT_EQ(card->T1BlocksReceived().back(), block);
  EXPECT_FALSE(IsNewErrorReply(reply));
  EXPECT_EQ(reply, card->T1BlocksSent().back());
}

TEST_F(CardFrames, CardBlockWithBadLrcPassesThrough) {
  auto card = PowerCard(DualProtocolCard(), 0x01);
  card->ScriptT1Fault(T1Fault{T1Fault::Kind::BadLrc});
  const Bytes reply = host.Exchange(BuildNewFrame(0x52, 0x00, Bytes{0x80, 0x20, 0x00, 0x01, 0x01}));
  EXPECT_EQ(reply, card->T1BlocksSent().back());
  EXPECT_FALSE(CheckByteValid(reply));
}

TEST_F(CardFrames, SilentCardGivesNoReplyAtAll) {
  auto card = PowerCard(DualProtocolCard(), 0x01);
  card->ScriptT1Fault(T1Fault{T1Fault::Kind::Silence});
  host.Write(BuildNewFrame(0x52, 0x00, Bytes{0x80, 0x20, 0x00, 0x01, 0x01}), 0);
  const usb::InResult in = host.Read(256, 1'000'000'000);
  EXPECT_EQ(in.kind, usb::InResult::Kind::NotReady);
  EXPECT_EQ(in.readyAt, usb::kNever);
  // The next block is answered as usual.
  EXPECT_FALSE(host.Exchange(BuildNewFrame(0x52, 0x00, Bytes{0x80, 0x20, 0x00, 0x01, 0x01})).empty());
}

TEST_F(CardFrames, T1BlockOfFullLengthIsCarried) {
  auto card = PowerCard(DualProtocolCard(), 0x01);
  const Bytes block = BuildNewFrame(0x52, 0x00, Bytes(254, 0x11));
  host.Exchange(block);
  EXPECT_EQ(card->T1BlocksReceived().back(), block);
}

}  // namespace
}  // namespace emu::test
