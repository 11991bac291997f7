// CardSetProtocol: a protocol asked for that the card offers and the reader
// reaches, T=1 first; the reset that puts the card in it on both firmware
// families; a repeated selection; the mask with nothing reachable; the reply.
#include <algorithm>
#include <optional>

#include <gtest/gtest.h>

#include "driver/card/card_protocol.h"
#include "driver/card/reader_functions.h"
#include "emulator/reader/frame.h"
#include "tests/driver/tracking/served_reader.h"

namespace {

using trackingtest::Bytes;
using trackingtest::ServedReader;

Bytes Ulong(ULONG value) {
  return Bytes{static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
               static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

std::shared_ptr<emu::Card> T0Card() {
  emu::CardConfig config;
  config.atr.t1 = false;
  return std::make_shared<emu::Card>(config);
}

// The card reset as the resource manager leaves it before a selection.
void PrepareResetCard(ServedReader& reader, std::shared_ptr<emu::Card> card = readertest::DualProtocolCard()) {
  reader.InsertCard(std::move(card));
  reader.SettleReader();
  reader.SetCardStateField(SCARD_PRESENT);  // no poll runs here to see the card
  ASSERT_EQ(reader.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
  ASSERT_EQ(reader.CardState(), SCARD_NEGOTIABLE);
  reader.ClearTrace();
}

// The request as the library hands it over, with a reply buffer of the caller's.
struct DirectRequest {
  UCHAR reply[8];
  ULONG information = 0x77;

  DirectRequest(ServedReader& reader, ULONG mask, ULONG replyLength) {
    std::fill(std::begin(reply), std::end(reply), 0xEE);
    SMARTCARD_EXTENSION& extension = reader.Extension();
    extension.MinorIoControlCode = mask;
    extension.IoRequest.RequestBuffer = nullptr;
    extension.IoRequest.RequestBufferLength = 0;
    extension.IoRequest.ReplyBuffer = reply;
    extension.IoRequest.ReplyBufferLength = replyLength;
    extension.IoRequest.Information = &information;
  }
};

TEST(SelectProtocol, TakesWhatIsAskedForOfferedAndReachableT1First) {
  constexpr ULONG T0 = SCARD_PROTOCOL_T0, T1 = SCARD_PROTOCOL_T1, Both = T0 | T1;
  struct Row {
    ULONG mask;
    ULONG supported;  // what the card's ATR offers
    BOOLEAN readerPicks;
    ULONG selected;
  };
  const Row rows[] = {
      {0x00000003, Both, FALSE, T1}, {0x00000002, Both, FALSE, T1}, {0x00000001, Both, FALSE, T0},
      {0x00010003, Both, FALSE, T1}, {0x00010001, Both, FALSE, T0}, {0x80000001, Both, FALSE, T0},
      {0x00010000, Both, FALSE, 0},  {0x00000000, Both, FALSE, 0},  {0x0000FFFC, Both, FALSE, 0},
      {0xFFFF0000, Both, FALSE, 0},
      // Only what the card offers.
      {Both, T0, FALSE, T0},         {T1, T0, FALSE, 0},            {T0, T1, FALSE, 0},
      {Both, 0, FALSE, 0},
      // A reader that picks the protocol itself runs T=0 whenever the card offers it.
      {Both, Both, TRUE, T0},        {T1, Both, TRUE, 0},           {Both, T1, TRUE, T1},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(SelectProtocol(row.mask, row.supported, row.readerPicks), row.selected)
        << std::hex << row.mask << " " << row.supported << " " << int{row.readerPicks};
  }
}

TEST(CardSetProtocol, SelectsAProtocolTheCardOffersAndResetsTheCardIntoIt) {
  constexpr ULONG T0 = SCARD_PROTOCOL_T0, T1 = SCARD_PROTOCOL_T1, Both = T0 | T1;
  enum class Card { T0Only, T1Only, Dual };
  struct Row {
    const char* firmware;  // 2.27 takes a reset parameter byte, 2.10 none
    Card card;
    ULONG mask;
    ULONG selected;                        // 0: refused, the state stays
    std::optional<UCHAR> resetParameter;  // bit 0: the reader runs T=1
    emu::CardFrameMode mode;               // the protocol the card runs afterwards
  };
  using emu::CardFrameMode;
  const Row rows[] = {
      {"2.27", Card::Dual, Both, T1, 0x01, CardFrameMode::T1},
      {"2.27", Card::Dual, T0, T0, 0x00, CardFrameMode::T0},
      {"2.27", Card::T1Only, Both, T1, 0x01, CardFrameMode::T1},
      {"2.27", Card::T1Only, T0, 0, 0x00, CardFrameMode::T1},
      {"2.27", Card::T0Only, Both, T0, 0x00, CardFrameMode::T0},
      {"2.27", Card::T0Only, T1, 0, 0x01, CardFrameMode::T1},
      {"2.10", Card::Dual, Both, T0, std::nullopt, CardFrameMode::T0},
      {"2.10", Card::Dual, T1, 0, std::nullopt, CardFrameMode::T0},
      {"2.10", Card::T1Only, Both, T1, std::nullopt, CardFrameMode::T1},
      {"2.10", Card::T0Only, Both, T0, std::nullopt, CardFrameMode::T0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.firmware) + " card " + std::to_string(static_cast<int>(row.card)) + " mask " +
                 std::to_string(row.mask));
    ServedReader reader(readertest::ReaderWithFirmware(row.firmware));
    PrepareResetCard(reader, row.card == Card::Dual     ? readertest::DualProtocolCard()
                             : row.card == Card::T1Only ? trackingtest::T1Card()
                                                        : T0Card());
    const UCHAR s = reader.Context().SequenceByte;
    const kernel::IoResult result = reader.SetProtocol(row.mask);
    EXPECT_EQ(result.status, row.selected != 0 ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(result.output, row.selected != 0 ? Ulong(row.selected) : Bytes{});
    EXPECT_EQ(reader.Extension().CardCapabilities.Protocol.Selected, row.selected);
    EXPECT_EQ(reader.CardState(), row.selected != 0 ? SCARD_SPECIFIC : SCARD_NEGOTIABLE);
    const Bytes reset = row.resetParameter ? Bytes{0x01, 0xD1, *row.resetParameter} : Bytes{0x01, 0xD1};
    EXPECT_EQ(reader.Frames(), std::vector<Bytes>{emu::BuildNewFrame(0x12, s, reset)});
    EXPECT_EQ(reader.Reader().ProtocolMode(), row.mode);
  }
}

TEST(CardSetProtocol, RefusesAMaskWithNeitherT0NorT1) {
  ServedReader reader;
  PrepareResetCard(reader);
  reader.Extension().CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
  const kernel::IoResult result = reader.SetProtocol(SCARD_PROTOCOL_RAW);
  EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(reader.Extension().CardCapabilities.Protocol.Selected, 0u);
  EXPECT_EQ(reader.CardState(), SCARD_NEGOTIABLE);
  // The card was reset all the same, asking for T=1 since T=0 was not asked for.
  EXPECT_EQ(reader.Reader().LastResetParameter(), std::optional<std::uint8_t>(0x01));

  // What the reader function itself answers: a selection of 0 in 4 bytes.
  DirectRequest request(reader, SCARD_PROTOCOL_RAW, sizeof(request.reply));
  EXPECT_EQ(CardSetProtocol(&reader.Extension()), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(request.information, 4u);
  EXPECT_EQ(Bytes(request.reply, request.reply + 5), (Bytes{0x00, 0x00, 0x00, 0x00, 0xEE}));
}

TEST(CardSetProtocol, InSpecificModeOnlyResetsTheCardAgain) {
  ServedReader reader;
  PrepareResetCard(reader);
  ASSERT_EQ(reader.SetProtocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
  reader.ClearTrace();

  DirectRequest request(reader, SCARD_PROTOCOL_T0, sizeof(request.reply));
  const UCHAR s = reader.Context().SequenceByte;
  EXPECT_EQ(CardSetProtocol(&reader.Extension()), STATUS_SUCCESS);
  // The reset keeps the card in the protocol recorded, whatever the mask.
  EXPECT_EQ(reader.Frames(), std::vector<Bytes>{emu::BuildNewFrame(0x12, s, Bytes{0x01, 0xD1, 0x01})});
  EXPECT_EQ(reader.Reader().ProtocolMode(), emu::CardFrameMode::T1);
  EXPECT_EQ(reader.Extension().CardCapabilities.Protocol.Selected, SCARD_PROTOCOL_T1);
  EXPECT_EQ(reader.CardState(), SCARD_SPECIFIC);
  EXPECT_EQ(request.information, 0x77u);
  EXPECT_EQ(request.reply[0], 0xEE);

  const kernel::IoResult result = reader.SetProtocol(SCARD_PROTOCOL_T0);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(reader.Extension().CardCapabilities.Protocol.Selected, SCARD_PROTOCOL_T1);
}

TEST(CardSetProtocol, RefusesAReplyBufferShorterThanFourBytesBeforeTouchingTheCard) {
  ServedReader reader;
  PrepareResetCard(reader);
  for (ULONG length : {0u, 1u, 3u}) {
    DirectRequest request(reader, SCARD_PROTOCOL_T1, length);
    EXPECT_EQ(CardSetProtocol(&reader.Extension()), STATUS_BUFFER_TOO_SMALL) << length;
    EXPECT_EQ(request.reply[0], 0xEE);
    EXPECT_EQ(request.information, 0x77u);
  }
  DirectRequest noBuffer(reader, SCARD_PROTOCOL_T1, 4);
  reader.Extension().IoRequest.ReplyBuffer = nullptr;
  EXPECT_EQ(CardSetProtocol(&reader.Extension()), STATUS_BUFFER_TOO_SMALL);
  EXPECT_TRUE(reader.Frames().empty());
  EXPECT_EQ(reader.CardState(), SCARD_NEGOTIABLE);
  EXPECT_EQ(reader.Extension().CardCapabilities.Protocol.Selected, 0u);
}

TEST(CardSetProtocol, ReportsAResetTheReaderDidNotAnswerAndSelectsNothing) {
  ServedReader reader;
  PrepareResetCard(reader);
  reader.Reader().ScriptFault(emu::ReplyFault::NoReply());
  const kernel::IoResult result = reader.SetProtocol(SCARD_PROTOCOL_T1);
  EXPECT_EQ(result.status, STATUS_IO_TIMEOUT);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(reader.CardState(), SCARD_NEGOTIABLE);
  EXPECT_EQ(reader.Extension().CardCapabilities.Protocol.Selected, 0u);
}

}  // namespace
