// The T=1 block path through the emulated reader and an ISO/IEC 7816-3
// card: chaining both ways, the sequence bits, WTX, IFS, ABORT, and the
// largest command and response.
#include <gtest/gtest.h>

#include "driver/card/transmit_paths.h"
#include "emulator/reader/frame.h"
#include "platform/kernel/platform.h"
#include "tests/driver/card/transmit_device.h"

namespace {

using namespace transmittest;

constexpr UCHAR Ifsc32 = 0x20;

// 80 22 with Le 00: the card echoes the command data.
Bytes Echo(const Bytes& data) {
  return Concat({{0x80, 0x22, 0x00, 0x00, static_cast<UCHAR>(data.size())}, data, {0x00}});
}

// The INF lengths of the I-blocks the driver wrote.
std::vector<std::size_t> IBlockLengths(const std::vector<Bytes>& written) {
  std::vector<std::size_t> lengths;
  for (const Bytes& block : written) {
    if (block.size() >= 4 && (block[1] & 0x80) == 0) lengths.push_back(block[2]);
  }
  return lengths;
}

TEST(T1Blocks, ChainAtTheCardsIfscBothWays) {
  TransmitDevice d(Path::T1, DualCard(Ifsc32));
  const Bytes data = Pattern(34);
  const Bytes command = Echo(data);  // 40 bytes
  const Transmission t = d.Transmit(command);
  ASSERT_EQ(t.status, STATUS_SUCCESS);
  // I(0, M) with 32 bytes; the card's R(1) makes the rest I(1); the card's
  // answer comes as I(0, M) with 32 bytes, acknowledged by R(1), then I(1).
  EXPECT_EQ(d.Written(), (std::vector<Bytes>{Block(0x20, Bytes(command.begin(), command.begin() + 32)),
                                             Block(0x40, Bytes(command.begin() + 32, command.end())),
                                             Block(0x90)}));
  EXPECT_EQ(d.card->T1BlocksSent().back(), CardBlock(0x40, {0x20, 0x21, 0x90, 0x00}));
  EXPECT_EQ(t.information, 8u + 36u);
  EXPECT_EQ(t.header, RequestHeader);
  EXPECT_EQ(t.response, Concat({data, {0x90, 0x00}}));
  EXPECT_EQ(d.Context().T1Sequence, 0x00);
}

TEST(T1Blocks, SequenceBitsAlternateAcrossTransmissionsUntilTheNextReset) {
  TransmitDevice d(Path::T1);
  const Bytes command = Echo({0x01});
  for (const UCHAR pcb : {0x00, 0x40, 0x00}) {
    ASSERT_EQ(d.Transmit(command).status, STATUS_SUCCESS);
    EXPECT_EQ(d.Written(), std::vector<Bytes>{Block(pcb, command)});
    EXPECT_EQ(d.Context().T1Sequence, pcb == 0x00 ? 0x50 : 0x00);
  }
  d.ResetCard();
  ASSERT_EQ(d.Transmit(command).status, STATUS_SUCCESS);
  EXPECT_EQ(d.Written(), std::vector<Bytes>{Block(0x00, command)});
}

TEST(T1Blocks, EmptyCommandSendsNothing) {
  TransmitDevice d(Path::T1);
  const Transmission t = d.Transmit({});
  EXPECT_EQ(t.status, STATUS_SUCCESS);
  EXPECT_EQ(t.information, 8u);
  EXPECT_EQ(t.header, RequestHeader);
  EXPECT_TRUE(d.Written().empty());
}

TEST(T1Blocks, WtxLengthensTheWaitsOfThisTransmissionOnly) {
  TransmitDevice d(Path::T1);
  // Idle reads come back empty, so that the driver's clock runs between them.
  d.Reader().SetZeroLengthWhenIdle(true);
  const LONGLONG delay = 2 * d.Context().BlockWaitTime;
  d.card->ScriptT1Fault({emu::T1Fault::Kind::SRequest, 3, 3});
  d.Reader().ScriptFault(emu::ReplyFault::Delay(0));
  d.Reader().ScriptFault(emu::ReplyFault::Delay(delay));
  const Bytes command = Echo({0x01});
  EXPECT_EQ(d.Transmit(command).status, STATUS_SUCCESS);
  EXPECT_EQ(d.Written(), (std::vector<Bytes>{Block(0x00, command), Block(0xE3, {0x03})}));
  EXPECT_EQ(d.Context().T1Sequence, 0x50);

  // The next transmission waits one block waiting time again: the late
  // answer is read past, and asked for again with R(other error).
  d.Reader().ScriptFault(emu::ReplyFault::Delay(delay));
  const Bytes status = emu::BuildNewFrame(0x12, d.Context().SequenceByte, Bytes{0x01, 0x31});
  EXPECT_EQ(d.Transmit(command).status, STATUS_SUCCESS);
  EXPECT_EQ(d.Written(), (std::vector<Bytes>{Block(0x40, command), status, Block(0x92)}));
}

TEST(T1Blocks, IfsRequestSetsTheChunkSizeForThisAndLaterTransmissions) {
  TransmitDevice d(Path::T1, DualCard(Ifsc32));
  d.card->ScriptT1Fault({emu::T1Fault::Kind::SRequest, 1, 0x80});
  const Bytes command = Echo(Pattern(194));  // 200 bytes
  EXPECT_EQ(d.Transmit(command).status, STATUS_SUCCESS);
  EXPECT_EQ(d.Written()[1], Block(0xE1, {0x80}));
  EXPECT_EQ(IBlockLengths(d.Written()), (std::vector<std::size_t>{32, 128, 40}));
  EXPECT_EQ(d.Context().CardIfsc, 0x80);

  const Transmission t = d.Transmit(command);
  EXPECT_EQ(t.status, STATUS_SUCCESS);
  EXPECT_EQ(IBlockLengths(d.Written()), (std::vector<std::size_t>{128, 72}));
  EXPECT_EQ(t.response, Concat({Pattern(194), {0x90, 0x00}}));

  // Until the card is reset, by a selection too: its IFSC is the ATR's again.
  ASSERT_EQ(d.SetProtocol(SCARD_PROTOCOL_T1), STATUS_SUCCESS);
  EXPECT_EQ(d.Transmit(command).status, STATUS_SUCCESS);
  EXPECT_EQ(IBlockLengths(d.Written()), (std::vector<std::size_t>{32, 32, 32, 32, 32, 32, 8}));
}

TEST(T1Blocks, AnIfscOfZeroFromTheAtrChunksByTheDefault) {
  TransmitDevice d(Path::T1, DualCard(0x00));
  const Bytes command = Echo(Pattern(34));
  // The card itself cannot take a block then; what matters is that the
  // command is cut into blocks that carry something, and that it ends.
  const Transmission t = d.Transmit(command);
  EXPECT_EQ(d.Written().front(), Block(0x20, Bytes(command.begin(), command.begin() + 32)));
  EXPECT_EQ(t.status, STATUS_DEVICE_PROTOCOL_ERROR);
  EXPECT_EQ(d.Context().CardIfsc, 32);
}

TEST(T1Blocks, AnAbortedCommandHasNoAnswer) {
  TransmitDevice d(Path::T1);
  d.card->ScriptT1Fault({emu::T1Fault::Kind::SRequest, 2, 0});
  const Bytes command = Echo({0x01});
  const Transmission t = d.Transmit(command);
  EXPECT_EQ(t.status, STATUS_DEVICE_PROTOCOL_ERROR);
  EXPECT_EQ(t.information, 0u);
  EXPECT_EQ(d.Written(), (std::vector<Bytes>{Block(0x00, command), Block(0xE2)}));
  // Both sides start the next command from a resynchronisation.
  const Transmission again = d.Transmit(command);
  EXPECT_EQ(again.status, STATUS_SUCCESS);
  EXPECT_EQ(d.Written(), (std::vector<Bytes>{Block(0xC0), Block(0x00, command)}));
  EXPECT_EQ(again.response, (Bytes{0x01, 0x90, 0x00}));
}

TEST(T1Blocks, CarryTheLargestCommandAndResponse) {
  emu::CardConfig card = DualCard(0xFE);
  card.ifsd = 0xFE;
  card.fileSize = 0xFFFF;
  TransmitDevice d(Path::T1, card);
  // UPDATE BINARY of 65,535 bytes to short EF 1: 00 D6 81 00, extended Lc 00 FF FF, the data.
  const Bytes data = Pattern(0xFFFF, 7);
  const Bytes update = Concat({{0x00, 0xD6, 0x81, 0x00, 0x00, 0xFF, 0xFF}, data});
  ASSERT_EQ(update.size(), TransmitCommandMax);
  const Transmission written = d.Transmit(update);
  EXPECT_EQ(written.status, STATUS_SUCCESS);
  EXPECT_EQ(written.response, (Bytes{0x90, 0x00}));
  EXPECT_EQ(d.card->File(), data);

  // GET CHALLENGE with the extended Le 00 00 00: 65,536 bytes and SW1 SW2.
  const Bytes challenge{0x00, 0x84, 0x00, 0x00, 0x00, 0x00, 0x00};
  const Transmission read = d.Transmit(challenge);
  EXPECT_EQ(read.status, STATUS_SUCCESS);
  EXPECT_EQ(read.information, 8u + 65538u);
  EXPECT_EQ(Bytes(read.response.end() - 2, read.response.end()), (Bytes{0x90, 0x00}));
  EXPECT_EQ(d.Transmit(challenge, 8 + 65537).status, STATUS_BUFFER_TOO_SMALL);
}

TEST(T1Blocks, ACardThatAsksForTimeWithoutEndGivesTheReaderBack) {
  emu::CardConfig card = DualCard();
  card.atr.tb3 = 0x90;  // BWI 9: 51.2 s
  TransmitDevice d(Path::T1, card);
  d.card->ScriptT1Fault({emu::T1Fault::Kind::SRequest, 3, 0xFF});
  d.card->ScriptT1Fault({emu::T1Fault::Kind::Silence});
  const LONGLONG start = kernel::Now();
  const Transmission t = d.Transmit(Echo({0x01}));
  EXPECT_EQ(t.status, STATUS_IO_TIMEOUT);
  EXPECT_EQ(t.information, 0u);
  EXPECT_EQ(d.Written().back(), Block(0xE3, {0xFF}));
  // 255 block waiting times would be 3.6 hours.
  EXPECT_LT(kernel::Now() - start, TransmissionTimeLimit + 10 * kernel::kSecond);
}

}  // namespace
