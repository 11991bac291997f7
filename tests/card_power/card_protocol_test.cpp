// CardSetProtocol: T=1 over T=0, the reset that carries the choice to the
// reader, the mask with neither, a repeated selection, and the reply.
#include <algorithm>

#include <gtest/gtest.h>

#include "card/card_protocol.h"
#include "card/reader_functions.h"
#include "emulator/reader/frame.h"
#include "tests/tracking/served_reader.h"

namespace {

using trackingtest::Bytes;
using trackingtest::ServedReader;

Bytes Ulong(ULONG value) {
  return Bytes{static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
               static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

void PrepareResetCard(ServedReader& reader) {
  reader.InsertCard(readertest::DualProtocolCard());
  reader.SettleReader();
  reader.SetCardStateField(SCARD_NEGOTIABLE);
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

TEST(SelectProtocol, PrefersT1AndLooksAtTheLow16BitsOnly) {
  struct Row {
    ULONG mask;
    ULONG selected;
  };
  const Row rows[] = {
      {0x00000003, SCARD_PROTOCOL_T1}, {0x00000002, SCARD_PROTOCOL_T1}, {0x00000001, SCARD_PROTOCOL_T0},
      {0x00010003, SCARD_PROTOCOL_T1}, {0x00010001, SCARD_PROTOCOL_T0}, {0x80000001, SCARD_PROTOCOL_T0},
      {0x00010000, 0},                 {0x00000000, 0},                 {0x0000FFFC, 0},
      {0xFFFF0000, 0},
  };
  for (const Row& row : rows) EXPECT_EQ(SelectProtocol(row.mask), row.selected) << std::hex << row.mask;
}

TEST(CardSetProtocol, SelectsT1OverT0AndResetsTheCardIntoIt) {
  struct Row {
    ULONG mask;
    ULONG selected;
    UCHAR resetParameter;  // bit 0: the reader runs T=1
    emu::CardFrameMode mode;
  };
  const Row rows[] = {
      {SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, SCARD_PROTOCOL_T1, 0x00, emu::CardFrameMode::T0},
      {SCARD_PROTOCOL_T1, SCARD_PROTOCOL_T1, 0x01, emu::CardFrameMode::T1},
      {SCARD_PROTOCOL_T0, SCARD_PROTOCOL_T0, 0x00, emu::CardFrameMode::T0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.mask);
    ServedReader reader;
    PrepareResetCard(reader);
    const UCHAR s = reader.Context().SequenceByte;
    const kernel::IoResult result = reader.SetProtocol(row.mask);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 4u);
    EXPECT_EQ(result.output, Ulong(row.selected));
    EXPECT_EQ(reader.Extension().CardCapabilities.Protocol.Selected, row.selected);
    EXPECT_EQ(reader.CardState(), SCARD_SPECIFIC);
    EXPECT_EQ(reader.Frames(), std::vector<Bytes>{emu::BuildNewFrame(0x12, s, Bytes{0x01, 0xD1, row.resetParameter})});
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
  EXPECT_EQ(CardSetProtocol(&reader.Extension()), STATUS_SUCCESS);
  EXPECT_EQ(reader.Frames().size(), 1u);
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
