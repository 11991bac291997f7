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

const Bytes Select = Hex("00 A4 00 00 02 3F 00");

TEST(CardTransmit, RefusesWhatItCannotCarryAndChoosesThePathByProtocol) {
  TransmitDevice d(Path::T1);
  // The library refuses the first two itself; CardTransmit does not rely on it. No header: Information untouched.
  EXPECT_EQ(d.CallCardTransmit(Hex("02 00 00"), 300, true).information, 0xDEADu);
  // A reply buffer that cannot hold the header gets nothing of it.
  const Transmission small = d.CallCardTransmit(Concat({RequestHeader, Select}), 7, false);
  EXPECT_EQ(small.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(small.header, Bytes(7, 0x00));
  EXPECT_EQ(d.Transmit(Bytes(TransmitCommandMax + 1, 0x00), 300).status, STATUS_INVALID_DEVICE_REQUEST);
  // The scratch copy is the first block the transmission asks for.
  kernel::pool::FailTag(DriverPoolTag, true);
  EXPECT_EQ(d.Transmit(Select).status, STATUS_INSUFFICIENT_RESOURCES);
  kernel::pool::FailTag(DriverPoolTag, false);
  ULONG& selected = d.Context().SmartcardExtension.CardCapabilities.Protocol.Selected;
  selected = SCARD_PROTOCOL_UNDEFINED;
  const Transmission undefined = d.Transmit(Select);
  EXPECT_EQ(undefined.status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(undefined.header, d.Header());
  EXPECT_TRUE(d.Written().empty());
  selected = SCARD_PROTOCOL_RAW;  // takes the T=1 path
  EXPECT_EQ(d.Transmit(Select).status, STATUS_SUCCESS);
  EXPECT_EQ(d.Written(), std::vector<Bytes>{Block(0x00, Select)});
}

// Whatever the outcome the header comes back, also when request and reply share one buffer.
TEST(CardTransmit, TheHeaderComesBackOnEveryPath) {
  for (const Path path : {Path::T0, Path::T1, Path::OldGeneration}) {
    for (const ULONG replyLength : {300u, 9u}) {  // 9: one byte beyond the header is too little for any response
      TransmitDevice d(path);
      const Transmission t = d.CallCardTransmit(Concat({d.Header(), Select}), replyLength, true);
      EXPECT_EQ(t.status, replyLength == 9 ? STATUS_BUFFER_TOO_SMALL : STATUS_SUCCESS) << int(path);
      EXPECT_EQ(t.header, d.Header()) << int(path);
      EXPECT_EQ(d.Transmit(Select, replyLength).header, d.Header()) << int(path);
    }
  }
}

TEST(CardTransmit, CarriesTheLargestCommandAndResponseOnBothT1Paths) {
  for (const Path path : {Path::T1, Path::OldGeneration}) {
    emu::CardConfig card = DualCard(0xFE);
    card.ifsd = 0xFE;
    card.fileSize = 0xFFFF;
    TransmitDevice d(path, card);
    // UPDATE BINARY of 65,535 bytes to short EF 1: 00 D6 81 00, extended Lc 00 FF FF, the data.
    const Bytes data = Pattern(0xFFFF, 7), update = Concat({Hex("00 D6 81 00 00 FF FF"), data});
    ASSERT_EQ(update.size(), TransmitCommandMax);
    EXPECT_EQ(d.Transmit(update).response, Hex("90 00"));
    EXPECT_EQ(d.card->File(), data);
    // GET CHALLENGE with the extended Le 00 00 00: 65,536 bytes and SW1 SW2.
    const Bytes challenge = Hex("00 84 00 00 00 00 00");
    EXPECT_EQ(d.Transmit(challenge).information, 8u + 65538u);
    EXPECT_EQ(d.Transmit(challenge, 8 + 65537).status, STATUS_BUFFER_TOO_SMALL);
  }
}

TEST(OldGeneration, SendsTheWholeCommandAndPollsTheTransferStateUntilTheCardHasAnswered) {
  const Bytes echo = Hex("80 22 00 00 02 5A A5 00"), card = emu::BuildOldFrame(0x51, echo);
  const Bytes status = Hex("10 00 00 02 01 D2"), result = Hex("10 00 00 02 01 D3");
  const emu::ReplyFault answered = emu::ReplyFault::Delay(0), none = emu::ReplyFault::NoReply();
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
       {card, status, status, status, result}},
      {"card frame unanswered", 0, {none}, STATUS_IO_TIMEOUT, {card}},
      {"card frame refused", 0, {emu::ReplyFault::ErrorReply()}, STATUS_IO_TIMEOUT, {card}},
      {"result unanswered", 0, {answered, answered, none}, STATUS_IO_TIMEOUT, {card, status, result}},
      {"result cut short", 0, {answered, answered, emu::ReplyFault::Truncate(6)}, STATUS_IO_TIMEOUT, {card, status, result}},
  };
  // clang-format on
  for (const Case& c : cases) {
    emu::ReaderConfig config = readertest::ReaderWithFirmware("1.50");
    config.transferBusyPolls = c.busyPolls;
    config.timing = emu::TimingModel::Instant();
    TransmitDevice d(Path::OldGeneration, DualCard(), config);
    for (const emu::ReplyFault& fault : c.faults) d.Reader().ScriptFault(fault);
    const Transmission t = d.Transmit(echo);
    EXPECT_EQ(t.status, c.status) << c.what;
    EXPECT_EQ(d.Written(), c.written) << c.what;
    EXPECT_EQ(t.information, c.status == STATUS_SUCCESS ? 8u + 4u : 0u) << c.what;
    EXPECT_EQ(t.header, RequestHeader) << c.what;
    EXPECT_EQ(t.response, c.status == STATUS_SUCCESS ? Hex("5A A5 90 00") : Bytes{}) << c.what;
  }
  // The reader's acknowledgement of the card frame lost on the bus keeps the bus's status.
  TransmitDevice d(Path::OldGeneration);
  d.Reader().FailNextBulkIn(usb::TransferFailure{STATUS_IO_DEVICE_ERROR, USBD_STATUS_DEV_NOT_RESPONDING});
  EXPECT_EQ(d.Transmit(echo).status, STATUS_IO_DEVICE_ERROR);
}

}  // namespace
