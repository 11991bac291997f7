// T=1 error recovery against a card and a reader that misbehave on cue:
// every recovery path to its limit, and resynchronisation restarting the
// command from its first byte.
#include <gtest/gtest.h>

#include "emulator/reader/frame.h"
#include "tests/driver/card/transmit_device.h"

namespace {

using namespace transmittest;
using Kind = emu::T1Fault::Kind;

const Bytes Command{0x80, 0x22, 0x00, 0x00, 0x01, 0x5A, 0x00};  // echo 5A

void Script(TransmitDevice& d, Kind kind, int times, UCHAR value = 0) {
  for (int i = 0; i < times; ++i) d.card->ScriptT1Fault({kind, value, 0});
}

TEST(T1Recovery, SixMissingAnswersEndTheTransmission) {
  TransmitDevice d(Path::T1);
  Script(d, Kind::Silence, 6);
  const Transmission t = d.Transmit(Command);
  EXPECT_EQ(t.status, STATUS_DEVICE_PROTOCOL_ERROR);
  EXPECT_EQ(t.information, 0u);
  EXPECT_EQ(t.header, RequestHeader);
  // Before each block after a silence, a status command reads past the
  // answer in case it still comes; its control bytes alternate.
  const auto status = [](UCHAR s) { return emu::BuildNewFrame(0x12, s, Bytes{0x01, 0x31}); };
  EXPECT_EQ(d.Written(), (std::vector<Bytes>{Block(0x00, Command), status(0x00), Block(0x82), status(0x40),
                                             Block(0x82), status(0x00), Block(0xC0), status(0x40), Block(0x82),
                                             status(0x00), Block(0x82)}));
}

TEST(T1Recovery, ThreeDamagedAnswersResynchroniseAndTheCommandStartsAgain) {
  TransmitDevice d(Path::T1, DualCard(0x20));
  ASSERT_EQ(d.Transmit(Command).status, STATUS_SUCCESS);  // T1Sequence 0x50
  const Bytes command = Concat({{0x80, 0x22, 0x00, 0x00, 0x22}, Pattern(34), {0x00}});
  const Bytes first(command.begin(), command.begin() + 32);
  const Bytes rest(command.begin() + 32, command.end());
  Script(d, Kind::BadLrc, 3);
  const Transmission t = d.Transmit(command);
  EXPECT_EQ(t.status, STATUS_SUCCESS);
  // The card's R(0) for the chained I(1) arrives damaged three times; after
  // S(RESYNCH) both sides start at N(S) 0 and the command from its first byte.
  EXPECT_EQ(d.Written(), (std::vector<Bytes>{Block(0x60, first), Block(0x91), Block(0x91), Block(0xC0),
                                             Block(0x20, first), Block(0x40, rest), Block(0x90)}));
  EXPECT_EQ(t.header, RequestHeader);
  EXPECT_EQ(t.response, Concat({Pattern(34), {0x90, 0x00}}));
}

TEST(T1Recovery, WrongSequenceNumbersResynchroniseTwiceThenGiveUp) {
  TransmitDevice d(Path::T1);
  Script(d, Kind::WrongSequence, 9);
  const Transmission t = d.Transmit(Command);
  EXPECT_EQ(t.status, STATUS_DEVICE_PROTOCOL_ERROR);
  const std::vector<Bytes> cycle{Block(0x00, Command), Block(0x82), Block(0x82)};
  std::vector<Bytes> expected;
  for (int i = 0; i < 3; ++i) {
    expected.insert(expected.end(), cycle.begin(), cycle.end());
    if (i < 2) expected.push_back(Block(0xC0));
  }
  EXPECT_EQ(d.Written(), expected);
}

TEST(T1Recovery, RBlocksFromTheCard) {
  struct Case {
    const char* what;
    emu::T1Fault fault;
    NTSTATUS status;
    std::vector<Bytes> written;
  };
  const Case cases[] = {
      {"R(0, EDC): I(0) again", {Kind::RBlock, 1}, STATUS_SUCCESS, {Block(0x00, Command), Block(0x00, Command)}},
      {"R(0, other): I(0) again", {Kind::RBlock, 2}, STATUS_SUCCESS, {Block(0x00, Command), Block(0x00, Command)}},
      {"R(0, 3)", {Kind::RBlock, 3}, STATUS_IO_TIMEOUT, {Block(0x00, Command)}},
      // 25 90 00 LRC: the card acknowledges the last I-block instead of answering it.
      {"R(1) for the unchained I(0)", {Kind::Garbage, 0, 0, CardBlock(0x90)}, STATUS_IO_TIMEOUT,
       {Block(0x00, Command)}},
      {"S(RESYNCH request)", {Kind::SRequest, 0}, STATUS_IO_TIMEOUT, {Block(0x00, Command)}},
  };
  for (const Case& c : cases) {
    TransmitDevice d(Path::T1);
    d.card->ScriptT1Fault(c.fault);
    const Transmission t = d.Transmit(Command);
    EXPECT_EQ(t.status, c.status) << c.what;
    EXPECT_EQ(d.Written(), c.written) << c.what;
    EXPECT_EQ(t.information, c.status == STATUS_SUCCESS ? 11u : 0u) << c.what;
  }
}

TEST(T1Recovery, AnExchangeBrokenOffOnTheBusResynchronisesBeforeTheNextCommand) {
  TransmitDevice d(Path::T1, DualCard(0x20));
  const Bytes command = Concat({{0x80, 0x22, 0x00, 0x00, 0x22}, Pattern(34), {0x00}});  // two I-blocks
  const Bytes first(command.begin(), command.begin() + 32);
  const Bytes rest(command.begin() + 32, command.end());
  // The card takes the first block of the chain; its R-block is lost on the way in.
  d.Reader().FailNextBulkIn();
  EXPECT_EQ(d.Transmit(command).status, STATUS_UNSUCCESSFUL);
  // A status command reads past the R-block left in the reader, S(RESYNCH)
  // makes the card drop the chain, and the command goes whole.
  const Bytes status = emu::BuildNewFrame(0x12, d.Context().SequenceByte, Bytes{0x01, 0x31});
  const Transmission t = d.Transmit(command);
  EXPECT_EQ(t.status, STATUS_SUCCESS);
  EXPECT_EQ(d.Written(), (std::vector<Bytes>{status, Block(0xC0), Block(0x20, first), Block(0x40, rest), Block(0x90)}));
  EXPECT_EQ(t.response, Concat({Pattern(34), {0x90, 0x00}}));
}

TEST(T1Recovery, TheReadersErrorReplyCountsAsAMissingAnswer) {
  TransmitDevice d(Path::T1);
  d.Reader().ScriptFault(emu::ReplyFault::ErrorReply());
  const Transmission t = d.Transmit(Command);
  EXPECT_EQ(t.status, STATUS_SUCCESS);
  // The card never saw I(0); it answers R(other) with N(R) 0, and I(0) goes again.
  EXPECT_EQ(d.Written(), (std::vector<Bytes>{Block(0x00, Command), Block(0x82), Block(0x00, Command)}));
  EXPECT_EQ(d.CardReceived(), (std::vector<Bytes>{Block(0x82), Block(0x00, Command)}));
  EXPECT_EQ(t.response, (Bytes{0x5A, 0x90, 0x00}));
}

}  // namespace
