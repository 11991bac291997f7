// The T=1 block path through the emulated reader and an ISO/IEC 7816-3
// card, block by block on the wire: chaining both ways, the sequence bits,
// WTX, IFS, ABORT, and the recovery from what the card or the reader gets wrong.
#include <gtest/gtest.h>

#include "driver/card/transmit_paths.h"
#include "emulator/reader/frame.h"
#include "platform/kernel/platform.h"
#include "tests/driver/card/transmit_device.h"

namespace {

using namespace transmittest;
using Kind = emu::T1Fault::Kind;

// 80 22 with Le 00: the card echoes the command data.
Bytes Echo(const Bytes& data) { return Concat({{0x80, 0x22, 0x00, 0x00, static_cast<UCHAR>(data.size())}, data, {0x00}}); }
const Bytes Command = Echo({0x5A}), I0 = Block(0x00, Command);
const Bytes Chained = Echo(Pattern(34));  // 40 bytes: 32 in the first block at an IFSC of 32, 8 in the second
const Bytes First = Block(0x20, Bytes(Chained.begin(), Chained.begin() + 32));
const Bytes Rest = Block(0x40, Bytes(Chained.begin() + 32, Chained.end()));
// Before a block after a silence, a status command reads past the answer in case it still comes.
Bytes Status(UCHAR s) { return emu::BuildNewFrame(0x12, s, Bytes{0x01, 0x31}); }

TEST(T1Blocks, FollowTheCardBlockByBlockAndRecoverOrGiveUp) {
  const Bytes R = Block(0x82), Resynch = Block(0xC0), Echoed = Hex("5A 90 00");
  const Bytes Chain = Concat({Pattern(34), Hex("90 00")});
  struct Case {
    const char* what;
    std::vector<emu::T1Fault> faults;
    NTSTATUS status;
    std::vector<Bytes> written;
    Bytes response;
    std::optional<UCHAR> tb3 = {};  // BWI 9 in the high nibble: a block waiting time of 51.2 s
  };
  // clang-format off
  const Case cases[] = {
      // I(0, M) with 32 bytes; the card's R(1) makes the rest I(1); the card's answer comes as I(0, M), R(1), I(1).
      {"chaining both ways", {}, STATUS_SUCCESS, {First, Rest, Block(0x90)}, Chain},
      {"six answers missing", std::vector<emu::T1Fault>(6, {Kind::Silence}), STATUS_DEVICE_PROTOCOL_ERROR,
       {I0, Status(0x00), R, Status(0x40), R, Status(0x00), Resynch, Status(0x40), R, Status(0x00), R}, {}},
      {"wrong N(S) nine times: RESYNCH twice, then no more", std::vector<emu::T1Fault>(9, {Kind::WrongSequence}),
       STATUS_DEVICE_PROTOCOL_ERROR, {I0, R, R, Resynch, I0, R, R, Resynch, I0, R, R}, {}},
      // The R(1) for the chained I(0) arrives damaged three times, answered with R(0, EDC): after S(RESYNCH)
      // the command starts again from its first byte.
      {"three damaged answers", std::vector<emu::T1Fault>(3, {Kind::BadLrc}), STATUS_SUCCESS,
       {First, Block(0x81), Block(0x81), Resynch, First, Rest, Block(0x90)}, Chain},
      {"R(0, EDC): I(0) again", {{Kind::RBlock, 1}}, STATUS_SUCCESS, {I0, I0}, Echoed},
      {"R(0, 3)", {{Kind::RBlock, 3}}, STATUS_IO_TIMEOUT, {I0}, {}},
      // 25 90 00 LRC: the card acknowledges the last I-block instead of answering it.
      {"R(1) for the unchained I(0)", {{Kind::Garbage, 0, 0, CardBlock(0x90)}}, STATUS_IO_TIMEOUT, {I0}, {}},
      {"the card's S(RESYNCH request)", {{Kind::SRequest, 0}}, STATUS_IO_TIMEOUT, {I0}, {}},
      {"S(ABORT request): no answer", {{Kind::SRequest, 2}}, STATUS_DEVICE_PROTOCOL_ERROR, {I0, Block(0xE2)}, {}},
      // 255 block waiting times would be 3.6 hours: the transmission's bound ends it.
      {"WTX without end", {{Kind::SRequest, 3, 0xFF}, {Kind::Silence}}, STATUS_IO_TIMEOUT, {I0, Block(0xE3, {0xFF})}, {},
       0x90},
      // The card never saw I(0); it answers R(other) with N(R) 0, and I(0) goes again.
      {"the reader's error reply", {}, STATUS_SUCCESS, {I0, R, I0}, Echoed},
  };
  // clang-format on
  for (const Case& c : cases) {
    emu::CardConfig card = DualCard(0x20);
    card.atr.tb3 = c.tb3;
    TransmitDevice d(Path::T1, card);
    for (const emu::T1Fault& fault : c.faults) d.card->ScriptT1Fault(fault);
    if (std::string_view(c.what).starts_with("the reader")) d.Reader().ScriptFault(emu::ReplyFault::ErrorReply());
    const LONGLONG start = kernel::Now();
    const Transmission t = d.Transmit(c.written[0] == I0 ? Command : Chained);
    EXPECT_EQ(t.status, c.status) << c.what;
    EXPECT_EQ(d.Written(), c.written) << c.what;
    EXPECT_EQ(t.information, c.status == STATUS_SUCCESS ? 8 + c.response.size() : 0u) << c.what;
    EXPECT_EQ(t.header, RequestHeader) << c.what;
    EXPECT_EQ(t.response, c.response) << c.what;
    EXPECT_LT(kernel::Now() - start, TransmissionTimeLimit + 10 * kernel::kSecond) << c.what;
  }
}

TEST(T1Blocks, SequenceBitsAlternateAcrossTransmissionsUntilTheNextReset) {
  TransmitDevice d(Path::T1);
  for (const UCHAR pcb : {0x00, 0x40, 0x00}) {
    EXPECT_EQ(d.Transmit(Command).status, STATUS_SUCCESS);
    EXPECT_EQ(d.Written(), std::vector<Bytes>{Block(pcb, Command)});
  }
  EXPECT_EQ(d.Transmit({}).information, 8u);  // an empty command sends nothing
  EXPECT_TRUE(d.Written().empty());
  d.ResetCard();
  d.Transmit(Command);
  EXPECT_EQ(d.Written(), std::vector<Bytes>{I0});
}

TEST(T1Blocks, WtxLengthensTheWaitsOfThisTransmissionOnly) {
  TransmitDevice d(Path::T1);
  d.Reader().SetZeroLengthWhenIdle(true);  // idle reads come back empty, so that the driver's clock runs
  const LONGLONG delay = 2 * d.Context().BlockWaitTime;
  d.card->ScriptT1Fault({Kind::SRequest, 3, 3});
  d.Reader().ScriptFault(emu::ReplyFault::Delay(0));
  d.Reader().ScriptFault(emu::ReplyFault::Delay(delay));
  EXPECT_EQ(d.Transmit(Command).status, STATUS_SUCCESS);
  EXPECT_EQ(d.Written(), (std::vector<Bytes>{I0, Block(0xE3, {0x03})}));
  // The next transmission waits one block waiting time again: the late answer is read past, and asked
  // for again with R(other error).
  d.Reader().ScriptFault(emu::ReplyFault::Delay(delay));
  const UCHAR s = d.Context().SequenceByte;
  EXPECT_EQ(d.Transmit(Command).status, STATUS_SUCCESS);
  EXPECT_EQ(d.Written(), (std::vector<Bytes>{Block(0x40, Command), Status(s), Block(0x92)}));
}

TEST(T1Blocks, IfsRequestSetsTheChunkSizeUntilTheCardIsReset) {
  TransmitDevice d(Path::T1, DualCard(0x20));
  d.card->ScriptT1Fault({Kind::SRequest, 1, 0x80});
  const Bytes command = Echo(Pattern(194));  // 200 bytes
  const auto chunks = [&] {
    std::vector<std::size_t> lengths;  // the INF lengths of the I-blocks the driver wrote
    for (const Bytes& block : d.Written()) {
      if ((block[1] & 0x80) == 0) lengths.push_back(block[2]);
    }
    return lengths;
  };
  EXPECT_EQ(d.Transmit(command).status, STATUS_SUCCESS);
  EXPECT_EQ(d.Written()[1], Block(0xE1, {0x80}));
  EXPECT_EQ(chunks(), (std::vector<std::size_t>{32, 128, 40}));
  EXPECT_EQ(d.Transmit(command).response, Concat({Pattern(194), Hex("90 00")}));
  EXPECT_EQ(chunks(), (std::vector<std::size_t>{128, 72}));
  // A selection resets the card too: its IFSC is the ATR's again.
  d.SetProtocol(SCARD_PROTOCOL_T1);
  d.Transmit(command);
  EXPECT_EQ(chunks(), (std::vector<std::size_t>{32, 32, 32, 32, 32, 32, 8}));
}

TEST(T1Blocks, AnExchangeBrokenOffOnTheBusResynchronisesBeforeTheNextCommand) {
  TransmitDevice d(Path::T1, DualCard(0x20));
  // The card takes the first block of the chain; its R-block is lost on the way in.
  d.Reader().FailNextBulkIn();
  EXPECT_EQ(d.Transmit(Chained).status, STATUS_UNSUCCESSFUL);
  // A status command reads past the R-block left in the reader, S(RESYNCH) makes the card drop the
  // chain, and the command goes whole.
  const UCHAR s = d.Context().SequenceByte;
  EXPECT_EQ(d.Transmit(Chained).response, Concat({Pattern(34), Hex("90 00")}));
  EXPECT_EQ(d.Written(), (std::vector<Bytes>{Status(s), Block(0xC0), First, Rest, Block(0x90)}));
}

}  // namespace
