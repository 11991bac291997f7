// The old-generation path: one 0x51 card frame, the transfer status polled
// until the card has answered, the answer fetched.
#include <gtest/gtest.h>

#include "driver/card/transmit_paths.h"
#include "emulator/reader/frame.h"
#include "platform/kernel/platform.h"
#include "tests/driver/card/transmit_device.h"

namespace {

using namespace transmittest;

const Bytes Echo{0x80, 0x22, 0x00, 0x00, 0x02, 0x5A, 0xA5, 0x00};
const Bytes TransferStatus{0x10, 0x00, 0x00, 0x02, 0x01, 0xD2};
const Bytes TransferResult{0x10, 0x00, 0x00, 0x02, 0x01, 0xD3};

emu::ReaderConfig OldReader(std::uint32_t busyPolls = 0, emu::TimingModel timing = {}) {
  emu::ReaderConfig config = readertest::ReaderWithFirmware("1.50");
  config.transferBusyPolls = busyPolls;
  config.timing = timing;
  return config;
}

TEST(OldGeneration, PollsTheTransferStateUntilTheCardHasAnswered) {
  TransmitDevice d(Path::OldGeneration, DualCard(), OldReader(2));
  const Transmission t = d.Transmit(Echo);
  EXPECT_EQ(t.status, STATUS_SUCCESS);
  // States 0, 1, 2: three status commands, then the result.
  EXPECT_EQ(d.Written(), (std::vector<Bytes>{emu::BuildOldFrame(0x51, Echo), TransferStatus, TransferStatus,
                                             TransferStatus, TransferResult}));
  EXPECT_EQ(t.information, 8u + 4u);
  EXPECT_EQ(t.header, RequestHeader);
  EXPECT_EQ(t.response, (Bytes{0x5A, 0xA5, 0x90, 0x00}));
}

TEST(OldGeneration, ATransferThatFailsOnTheCardsSideIsATimeout) {
  emu::ReaderConfig config = OldReader();
  config.transferBusyTime = 10 * kernel::kSecond;
  TransmitDevice d(Path::OldGeneration, DualCard(), config);
  // The card goes away while the reader waits for its answer: state 3.
  kernel::SystemThread remover("remover", [&] {
    kernel::SleepFor(kernel::kSecond);
    d.Reader().RemoveCard();
  });
  const Transmission t = d.Transmit(Echo);
  remover.Join();
  EXPECT_EQ(t.status, STATUS_IO_TIMEOUT);
  EXPECT_EQ(t.information, 0u);
  EXPECT_EQ(d.Written().back(), TransferStatus);
}

TEST(OldGeneration, TheStatusPollHasAnOverallBound) {
  emu::TimingModel slow;
  slow.usbLatency = 100 * kernel::kMillisecond;
  emu::ReaderConfig config = OldReader(0, slow);
  config.transferBusyTime = 100 * kernel::kSecond;
  TransmitDevice d(Path::OldGeneration, DualCard(), config);
  const Transmission t = d.Transmit(Echo);
  EXPECT_EQ(t.status, STATUS_IO_TIMEOUT);
  EXPECT_NE(d.Written().back(), TransferResult);
}

TEST(OldGeneration, AReaderThatDoesNotAnswerOrRefusesIsATimeout) {
  struct Case {
    const char* what;
    std::vector<emu::ReplyFault> faults;  // for the card frame, the status, the result
    std::size_t frames;
  };
  const Case cases[] = {
      {"card frame unanswered", {emu::ReplyFault::NoReply()}, 1},
      {"card frame refused", {emu::ReplyFault::ErrorReply()}, 1},
      {"result unanswered", {emu::ReplyFault::Delay(0), emu::ReplyFault::Delay(0), emu::ReplyFault::NoReply()}, 3},
      {"result cut short", {emu::ReplyFault::Delay(0), emu::ReplyFault::Delay(0), emu::ReplyFault::Truncate(6)}, 3},
  };
  for (const Case& c : cases) {
    TransmitDevice d(Path::OldGeneration, DualCard(), OldReader(0, emu::TimingModel::Instant()));
    for (const emu::ReplyFault& fault : c.faults) d.Reader().ScriptFault(fault);
    const Transmission t = d.Transmit(Echo);
    EXPECT_EQ(t.status, STATUS_IO_TIMEOUT) << c.what;
    EXPECT_EQ(t.information, 0u) << c.what;
    EXPECT_EQ(d.Written().size(), c.frames) << c.what;
  }
}

// A card that gives no answer to a whole command.
struct MuteCard : emu::Card {
  using emu::Card::Card;
  Bytes TransmitApdu(std::span<const std::uint8_t>) override { return {}; }
};

TEST(OldGeneration, NoAnswerIsATimeoutAndABusErrorKeepsItsStatus) {
  TransmitDevice d(Path::OldGeneration, DualCard(), OldReader(0, emu::TimingModel::Instant()));
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

TEST(OldGeneration, CarriesTheLargestCommandAndResponse) {
  emu::CardConfig card = DualCard();
  card.fileSize = 0xFFFF;
  TransmitDevice d(Path::OldGeneration, card, OldReader(0, emu::TimingModel::Instant()));
  const Bytes data = Pattern(0xFFFF, 3);
  const Bytes update = Concat({{0x00, 0xD6, 0x81, 0x00, 0x00, 0xFF, 0xFF}, data});
  ASSERT_EQ(update.size(), TransmitCommandMax);
  EXPECT_EQ(d.Transmit(update).status, STATUS_SUCCESS);
  EXPECT_EQ(d.card->File(), data);

  const Bytes challenge{0x00, 0x84, 0x00, 0x00, 0x00, 0x00, 0x00};
  const Transmission read = d.Transmit(challenge);
  EXPECT_EQ(read.status, STATUS_SUCCESS);
  EXPECT_EQ(read.information, 8u + 65538u);
  EXPECT_EQ(d.Transmit(challenge, 8 + 65537).status, STATUS_BUFFER_TOO_SMALL);
}

}  // namespace
