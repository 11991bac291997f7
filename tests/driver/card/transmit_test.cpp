// CardTransmit's entry on every path (the length tests, the header, the
// choice of path, the scratch copy), the largest command and response, and
// the old generation's whole-command path: one 0x51 card frame, the transfer
// status polled until the card has answered, the answer fetched.
#include <gtest/gtest.h>

#include "driver/card/transmit_paths.h"
#include "emulator/reader/frame.h"
#include "platform/kernel/platform.h"
#include "tests/driver/card/transmit_device.h"

namespace {

using namespace transmittest;

const Bytes Select{0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};

// The library refuses these two itself; CardTransmit does not rely on it.
TEST(CardTransmit, RefusesBeforeAnythingIsCopiedOrSent) {
  TransmitDevice d(Path::T1);
  // No header at all: IoRequest.Information is not touched.
  Transmission t = d.CallCardTransmit({0x02, 0x00, 0x00}, 300, true);
  EXPECT_EQ(t.status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(t.information, 0xDEADu);
  // A reply buffer that cannot hold the header gets nothing of it.
  t = d.CallCardTransmit(Concat({RequestHeader, Select}), 7, false);
  EXPECT_EQ(t.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(t.information, 0u);
  EXPECT_EQ(t.header, Bytes(7, 0x00));
  EXPECT_TRUE(d.Written().empty());
}

TEST(CardTransmit, ChoosesThePathByProtocolAndRefusesTooLongACommandAfterTheHeader) {
  TransmitDevice d(Path::T1);
  Transmission t = d.Transmit(Bytes(TransmitCommandMax + 1, 0x00), 300);
  EXPECT_EQ(t.status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(t.header, RequestHeader);
  ULONG& selected = d.Context().SmartcardExtension.CardCapabilities.Protocol.Selected;
  selected = SCARD_PROTOCOL_UNDEFINED;
  t = d.Transmit(Select);
  EXPECT_EQ(t.status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(t.information, 0u);
  EXPECT_EQ(t.header, d.Header());
  EXPECT_TRUE(d.Written().empty());
  selected = SCARD_PROTOCOL_RAW;  // takes the T=1 path
  EXPECT_EQ(d.Transmit(Select).status, STATUS_SUCCESS);
  EXPECT_EQ(d.Written(), std::vector<Bytes>{Block(0x00, Select)});
}

TEST(CardTransmit, TheHeaderComesBackOnEveryPathWhateverTheOutcome) {
  for (const Path path : {Path::T0, Path::T1, Path::OldGeneration}) {
    for (const bool fail : {false, true}) {
      for (const bool shared : {true, false}) {
        SCOPED_TRACE(testing::Message() << int(path) << fail << shared);
        TransmitDevice d(path);
        // One byte beyond the header is too little for any response.
        const ULONG replyLength = fail ? 9 : 300;
        const Transmission t = shared ? d.CallCardTransmit(Concat({d.Header(), Select}), replyLength, true)
                                      : d.Transmit(Select, replyLength);
        EXPECT_EQ(t.status, fail ? STATUS_BUFFER_TOO_SMALL : STATUS_SUCCESS);
        EXPECT_EQ(t.header, d.Header());
      }
    }
  }
}

TEST(CardTransmit, WithoutPoolForTheScratchCopyNoBlockIsSent) {
  TransmitDevice d(Path::T1);
  // The scratch copy is the first block the transmission asks for.
  kernel::pool::FailTag(DriverPoolTag, true);
  const Transmission t = d.Transmit(Select);
  kernel::pool::FailTag(DriverPoolTag, false);
  EXPECT_EQ(t.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(t.information, 0u);
  EXPECT_EQ(t.header, RequestHeader);
  EXPECT_TRUE(d.Written().empty());
}

TEST(CardTransmit, CarriesTheLargestCommandAndResponse) {
  for (const Path path : {Path::T1, Path::OldGeneration}) {
    emu::CardConfig card = DualCard(0xFE);
    card.ifsd = 0xFE;
    card.fileSize = 0xFFFF;
    TransmitDevice d(path, card);
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
}

const Bytes Echo{0x80, 0x22, 0x00, 0x00, 0x02, 0x5A, 0xA5, 0x00};
const Bytes TransferStatus{0x10, 0x00, 0x00, 0x02, 0x01, 0xD2};
const Bytes TransferResult{0x10, 0x00, 0x00, 0x02, 0x01, 0xD3};

TEST(OldGeneration, SendsTheWholeCommandAndPollsTheTransferStateUntilTheCardHasAnswered) {
  const emu::ReplyFault answered = emu::ReplyFault::Delay(0), none = emu::ReplyFault::NoReply();
  const Bytes card = emu::BuildOldFrame(0x51, Echo);
  struct Case {
    const char* what;
    std::uint32_t busyPolls;
    std::vector<emu::ReplyFault> faults;  // for the card frame, the status, the result
    NTSTATUS status;
    std::vector<Bytes> written;
  };
  // clang-format off
  const Case cases[] = {
      {"states 0, 1, 2: three status commands, then the result", 2, {}, STATUS_SUCCESS,
       {card, TransferStatus, TransferStatus, TransferStatus, TransferResult}},
      {"card frame unanswered", 0, {none}, STATUS_IO_TIMEOUT, {card}},
      {"card frame refused", 0, {emu::ReplyFault::ErrorReply()}, STATUS_IO_TIMEOUT, {card}},
      {"result unanswered", 0, {answered, answered, none}, STATUS_IO_TIMEOUT, {card, TransferStatus, TransferResult}},
      {"result cut short", 0, {answered, answered, emu::ReplyFault::Truncate(6)}, STATUS_IO_TIMEOUT,
       {card, TransferStatus, TransferResult}},
  };
  // clang-format on
  for (const Case& c : cases) {
    emu::ReaderConfig config = readertest::ReaderWithFirmware("1.50");
    config.transferBusyPolls = c.busyPolls;
    config.timing = emu::TimingModel::Instant();
    TransmitDevice d(Path::OldGeneration, DualCard(), config);
    for (const emu::ReplyFault& fault : c.faults) d.Reader().ScriptFault(fault);
    const Transmission t = d.Transmit(Echo);
    EXPECT_EQ(t.status, c.status) << c.what;
    EXPECT_EQ(d.Written(), c.written) << c.what;
    EXPECT_EQ(t.information, c.status == STATUS_SUCCESS ? 8u + 4u : 0u) << c.what;
    EXPECT_EQ(t.header, RequestHeader) << c.what;
    EXPECT_EQ(t.response, c.status == STATUS_SUCCESS ? Hex("5A A5 90 00") : Bytes{}) << c.what;
  }
}

// A card that gives no answer to a whole command.
struct MuteCard : emu::Card {
  using emu::Card::Card;
  Bytes TransmitApdu(std::span<const std::uint8_t>) override { return {}; }
};

TEST(OldGeneration, NoAnswerIsATimeoutAndABusErrorKeepsItsStatus) {
  TransmitDevice d(Path::OldGeneration);
  d.Reader().RemoveCard();
  d.card = std::make_shared<MuteCard>(DualCard());
  d.Fixture().InsertCard(d.card);
  d.ResetCard();
  const Transmission t = d.Transmit(Echo);
  EXPECT_EQ(t.status, STATUS_IO_TIMEOUT);
  EXPECT_EQ(t.information, 0u);
  EXPECT_EQ(d.Written().back(), TransferResult);
  // The reader's acknowledgement of the card frame is lost on the bus.
  d.Reader().FailNextBulkIn(usb::TransferFailure{STATUS_IO_DEVICE_ERROR, USBD_STATUS_DEV_NOT_RESPONDING});
  EXPECT_EQ(d.Transmit(Echo).status, STATUS_IO_DEVICE_ERROR);
}

}  // namespace
