// Reader commands in the new generation: the frames the host writes and the
// replies read at the positions the host reads them.
#include <gtest/gtest.h>

#include "tests/emulator/reader/reader_harness.h"

namespace emu::test {
namespace {

class ReaderCommands : public ::testing::Test {
 protected:
  Reader reader{InstantConfig("2.27")};
  Host host{reader};

  std::uint8_t Status(std::uint8_t control = 0x00) {
    const Bytes reply = host.Exchange(NewCommand(control, {0x01, 0x31}));
    EXPECT_EQ(reply.size(), 9u);
    return reply.size() > 5 ? reply[5] : 0xFF;  // the host reads frame byte 5
  }
  void SetUp() override {
    // The set-up sequence: 0xD0, then 0x41.
    host.Exchange(NewCommand(0x00, {0x01, 0xD0}));
    host.Exchange(NewCommand(0x40, {0x01, 0x41}));
  }
};

TEST(ReaderFrames, WorkedExamplesOfRequestFrames) {
  EXPECT_EQ(NewCommand(0x00, {0x01, 0x31}), (Bytes{0x12, 0x00, 0x02, 0x01, 0x31, 0x20}));
  EXPECT_EQ(NewCommand(0x40, {0x01, 0x31}), (Bytes{0x12, 0x40, 0x02, 0x01, 0x31, 0x60}));
  EXPECT_EQ(NewCommand(0x00, {0x01, 0x35, 0x0A, 0x00}), (Bytes{0x12, 0x00, 0x04, 0x01, 0x35, 0x0A, 0x00, 0x28}));
}

TEST(ReaderStatus, FreshReaderAnswersStatusWithNothingSet) {
  Reader reader(InstantConfig());
  Host host(reader);
  const Bytes reply = host.Exchange({0x12, 0x00, 0x02, 0x01, 0x31, 0x20});
  const Bytes expected = {
      0x12, 0x00, 0x05,  // address, the request's control byte, N
      0x01, 0x31,        // leading bytes
      0x00,              // status: no card, not set up
      0x90, 0x00,        // status bytes
      0xB7,              // check byte
  };
  EXPECT_EQ(reply, expected);
}

TEST_F(ReaderCommands, StatusEchoesTheControlByte) {
  const Bytes reply = host.Exchange({0x12, 0x40, 0x02, 0x01, 0x31, 0x60});
  EXPECT_EQ(reply, (Bytes{0x12, 0x40, 0x05, 0x01, 0x31, 0x20, 0x90, 0x00, 0xD7}));
}

TEST(ReaderStatus, SetUpBitCycle) {
  Reader reader(InstantConfig());
  Host host(reader);
  auto status = [&] { return host.Exchange(NewCommand(0, {0x01, 0x31}))[5]; };
  EXPECT_EQ(status(), 0x00);
  host.Exchange(NewCommand(0, {0x01, 0x41}));  // 0x41 alone does not set the reader up
  EXPECT_EQ(status(), 0x00);
  host.Exchange(NewCommand(0, {0x01, 0xD0}));
  EXPECT_EQ(status(), 0x00);  // not before 0x41
  host.Exchange(NewCommand(0, {0x01, 0x41}));
  EXPECT_EQ(status(), 0x20);
  reader.ResetPort();
  EXPECT_EQ(status(), 0x00);
  host.Exchange(NewCommand(0, {0x01, 0xD0}));
  host.Exchange(NewCommand(0, {0x01, 0x41}));
  EXPECT_EQ(status(), 0x20);
}

TEST_F(ReaderCommands, StatusFollowsTheCard) {
  EXPECT_EQ(Status(), 0x20);
  reader.InsertCard(DualProtocolCard());
  EXPECT_EQ(Status(), 0x28);  // in, not powered
  host.Exchange(NewCommand(0, {0x01, 0xD1}));
  EXPECT_EQ(Status(), 0x38);  // powered
  reader.RemoveCard();
  EXPECT_EQ(Status(), 0x20);
}

TEST_F(ReaderCommands, ActivateOnInsertPowersTheCard) {
  ReaderConfig config = InstantConfig();
  config.activateOnInsert = true;
  Reader activating(config);
  auto card = DualProtocolCard();
  activating.InsertCard(card);
  EXPECT_EQ(activating.StatusByte(), 0x18);
  EXPECT_TRUE(card->Powered());
}

TEST_F(ReaderCommands, RemovalPowersTheCardDown) {
  auto card = DualProtocolCard();
  reader.InsertCard(card);
  host.Exchange(NewCommand(0, {0x01, 0xD1}));
  ASSERT_TRUE(card->Powered());
  reader.RemoveCard();
  EXPECT_FALSE(card->Powered());
  EXPECT_EQ(reader.ProtocolMode(), CardFrameMode::None);
}

TEST_F(ReaderCommands, GetAtrReturnsTheAtrOfTheLastReset) {
  auto card = DualProtocolCard();
  reader.InsertCard(card);
  host.Exchange(NewCommand(0, {0x01, 0xD1}));
  const Bytes atr = BuildAtr(card->Config().atr);
  const Bytes reply = host.Exchange({0x12, 0x00, 0x04, 0x01, 0x35, 0x0A, 0x00, 0x28});
  ASSERT_EQ(reply.size(), atr.size() + 8);
  EXPECT_EQ(reply[2], atr.size() + 4);
  EXPECT_EQ(reply[3], 0x01);
  EXPECT_EQ(reply[4], 0x35);
  EXPECT_EQ(Bytes(reply.begin() + 5, reply.begin() + 5 + static_cast<std::ptrdiff_t>(atr.size())), atr);
  EXPECT_EQ(reply[reply.size() - 3], 0x90);
  EXPECT_EQ(reply[reply.size() - 2], 0x00);
  EXPECT_TRUE(CheckByteValid(reply));
}

TEST_F(ReaderCommands, GetAtrActivatesAnUnpoweredCardInItsDefaultProtocol) {
  auto card = DualProtocolCard();
  reader.InsertCard(card);
  const Bytes reply = host.Exchange(NewCommand(0, {0x01, 0x35, 0x0A, 0x00}));
  EXPECT_EQ(reply.size(), BuildAtr(card->Config().atr).size() + 8);
  EXPECT_TRUE(card->Powered());
  EXPECT_EQ(reader.ProtocolMode(), CardFrameMode::T0);
  EXPECT_EQ(Status(), 0x38);
}

TEST_F(ReaderCommands, GetAtrWithoutCardIsRefused) {
  const Bytes reply = host.Exchange(NewCommand(0, {0x01, 0x35, 0x0A, 0x00}));
  EXPECT_TRUE(IsNewErrorReply(reply));
  EXPECT_EQ(reply[5], 0xF4);
}

TEST_F(ReaderCommands, ResetParameterSelectsTheProtocol) {
  struct Case {
    bool t1Only;
    std::vector<std::uint8_t> parameter;  // empty: the 6-byte frame without r
    CardFrameMode mode;
  };
  const Case cases[] = {
      {false, {}, CardFrameMode::T0},      // no r: the card's default, T=0
      {false, {0x00}, CardFrameMode::T0},  // cold, T=0 requested
      {false, {0x01}, CardFrameMode::T1},  // cold, T=1 requested
      {false, {0x03}, CardFrameMode::T1},  // warm, T=1 requested
      {false, {0x02}, CardFrameMode::T0},  // warm, T=0
      {true, {}, CardFrameMode::T1},       // a card without T=0
      {true, {0x00}, CardFrameMode::T1},
  };
  for (const Case& c : cases) {
    Reader r(InstantConfig());
    Host h(r);
    r.InsertCard(c.t1Only ? T1OnlyCard() : DualProtocolCard());
    Bytes info = {0x01, 0xD1};
    info.insert(info.end(), c.parameter.begin(), c.parameter.end());
    const Bytes reply = h.Exchange(BuildNewFrame(kNewCommandAddress, 0x40, info));
    EXPECT_EQ(reply, BuildNewFrame(kNewCommandAddress, 0x40, Bytes{0x01, 0xD1, 0x90, 0x00}));
    EXPECT_EQ(r.ProtocolMode(), c.mode);
    if (c.parameter.empty()) {
      EXPECT_FALSE(r.LastResetParameter().has_value());
    } else {
      EXPECT_EQ(r.LastResetParameter(), c.parameter[0]);
    }
  }
}

TEST_F(ReaderCommands, ResetWithoutCardIsRefused) {
  const Bytes reply = host.Exchange(NewCommand(0x40, {0x01, 0xD1, 0x01}));
  EXPECT_TRUE(IsNewErrorReply(reply));
  EXPECT_EQ(reply[1], 0x40);
  EXPECT_EQ(reply[4], 0xD1);
  EXPECT_EQ(reply[5], 0xF4);
}

TEST_F(ReaderCommands, FirmwareVersionDigitsSitAtInformationBytes9To12) {
  const Bytes reply = host.Exchange(NewCommand(0, {0x01, 0xC0}));
  ASSERT_EQ(reply.size(), 19u);  // 3 + (2 + 7 + 4 + 2) + 1
  EXPECT_EQ(reply[3 + 9], '2');
  EXPECT_EQ(reply[3 + 10], '.');
  EXPECT_EQ(reply[3 + 11], '2');
  EXPECT_EQ(reply[3 + 12], '7');
  EXPECT_EQ(std::string(reply.begin() + 5, reply.begin() + 12), "ZUNTA R");
  EXPECT_EQ(reply[16], 0x90);
  EXPECT_TRUE(CheckByteValid(reply));
}

TEST_F(ReaderCommands, EjectTakesTheCardOut) {
  auto card = DualProtocolCard();
  reader.InsertCard(card);
  host.Exchange(NewCommand(0, {0x01, 0xD1}));
  const Bytes reply = host.Exchange(NewCommand(0, {0x01, 0x39}));
  EXPECT_EQ(reply, (Bytes{0x12, 0x00, 0x04, 0x01, 0x39, 0x90, 0x00, 0xBE}));
  EXPECT_EQ(reader.CurrentCard(), nullptr);
  EXPECT_FALSE(card->Powered());
  EXPECT_EQ(reader.Counters().ejects, 1u);
  EXPECT_EQ(Status(), 0x20);
}

TEST_F(ReaderCommands, EjectWithoutCardGivesTheErrorReply) {
  const Bytes reply = host.Exchange(NewCommand(0x00, {0x01, 0x39}));
  // Information byte 3 (frame byte 6) is 0xAD: no card.
  EXPECT_EQ(reply, (Bytes{0x21, 0x00, 0x04, 0x01, 0x39, 0xF4, 0xAD, 0x44}));
}

TEST_F(ReaderCommands, ParameterCommandsRecordTheirByte) {
  EXPECT_EQ(host.Exchange(NewCommand(0, {0x01, 0xB0, 0x00, 0x05})),
            BuildNewFrame(kNewCommandAddress, 0, Bytes{0x01, 0xB0, 0x90, 0x00}));
  EXPECT_EQ(host.Exchange(NewCommand(0x40, {0x01, 0xD8, 0x00, 0x7E})),
            BuildNewFrame(kNewCommandAddress, 0x40, Bytes{0x01, 0xD8, 0x90, 0x00}));
  EXPECT_EQ(reader.CommandB0Parameter(), 0x05);
  EXPECT_EQ(reader.CommandD8Parameter(), 0x7E);
}

TEST_F(ReaderCommands, WrongParameterCountsAreRefused) {
  const Bytes frames[] = {
      NewCommand(0, {0x01, 0xB0, 0x05}),              // 0xB0 takes two
      NewCommand(0, {0x01, 0xD8}),                    // 0xD8 takes two
      NewCommand(0, {0x01, 0x31, 0x00}),              // status takes none
      NewCommand(0, {0x01, 0xD1, 0x01, 0x00}),        // reset takes at most one
      NewCommand(0, {0x01, 0x35, 0x0A}),              // ATR takes none or two
  };
  for (const Bytes& frame : frames) {
    const Bytes reply = host.Exchange(frame);
    EXPECT_TRUE(IsNewErrorReply(reply));
    EXPECT_EQ(reply[5], 0xF3);
  }
  EXPECT_FALSE(reader.CommandB0Parameter().has_value());
}

TEST_F(ReaderCommands, UnknownCommandsAreRefused) {
  const Bytes frames[] = {
      NewCommand(0, {0x01, 0x77}),  // no such command
      NewCommand(0, {0x02, 0x31}),  // wrong leading byte
      NewCommand(0, {0x00, 0x31}),
  };
  for (const Bytes& frame : frames) {
    const Bytes reply = host.Exchange(frame);
    EXPECT_TRUE(IsNewErrorReply(reply));
    EXPECT_EQ(reply[4], frame[4]);
    EXPECT_EQ(reply[5], 0xF2);
  }
}

TEST_F(ReaderCommands, RestartClearsTheSetUpAndPowersTheCardDown) {
  auto card = DualProtocolCard();
  reader.InsertCard(card);
  host.Exchange(NewCommand(0, {0x01, 0xD1}));
  ASSERT_EQ(Status(), 0x38);
  // The frame an application sends through the host's pass-through.
  const Bytes reply = host.Exchange({0x12, 0x40, 0x02, 0x00, 0xF5, 0xA5});
  EXPECT_EQ(reply, BuildNewFrame(kNewCommandAddress, 0x40, Bytes{0x00, 0xF5, 0x90, 0x00}));
  EXPECT_EQ(Status(), 0x08);
  EXPECT_FALSE(card->Powered());
}

TEST_F(ReaderCommands, TransferCommandsWithoutACardFrame) {
  const Bytes status = host.Exchange(NewCommand(0, {0x01, 0xD2}));
  EXPECT_EQ(status, BuildNewFrame(kNewCommandAddress, 0, Bytes{0x01, 0xD2, 0x04, 0x90, 0x00}));
  const Bytes result = host.Exchange(NewCommand(0, {0x01, 0xD3}));
  EXPECT_TRUE(IsNewErrorReply(result));
  EXPECT_EQ(result[5], 0xF7);
}

}  // namespace
}  // namespace emu::test
