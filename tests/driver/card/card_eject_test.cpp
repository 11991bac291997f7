// CardEject on both frame generations: the eject frame, the reader's
// no-card answer 0xAD one frame position apart, the card state afterwards,
// and a reader that does not answer.
#include <gtest/gtest.h>

#include "emulator/reader/frame.h"
#include "tests/driver/tracking/served_reader.h"

namespace {

using trackingtest::Bytes;
using trackingtest::ServedReader;

TEST(CardEject, EjectsTheCardOrReportsNoMediaOnBothGenerations) {
  struct Row {
    const char* firmware;
    bool card;
    NTSTATUS status;
    std::size_t noCardPosition;  // information byte 3 of the reply
  };
  const Row rows[] = {
      {"2.27", true, STATUS_SUCCESS, 6},
      {"2.27", false, STATUS_NO_MEDIA, 6},
      {"1.50", true, STATUS_SUCCESS, 7},
      {"1.50", false, STATUS_NO_MEDIA, 7},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.firmware << (row.card ? " card" : " no card"));
    ServedReader reader(readertest::ReaderWithFirmware(row.firmware));
    if (row.card) reader.InsertCard();
    reader.SettleReader();
    reader.SetCardStateField(SCARD_SPECIFIC);
    auto waiting = reader.StartControl(IOCTL_SMARTCARD_IS_ABSENT);
    const UCHAR s = reader.Context().SequenceByte;

    const kernel::IoResult result = reader.Control(IOCTL_SMARTCARD_EJECT, {}, 0);
    EXPECT_EQ(result.status, row.status);
    EXPECT_EQ(result.information, 0u);
    const Bytes frame = row.noCardPosition == 6 ? emu::BuildNewFrame(0x12, s, Bytes{0x01, 0x39})
                                                : Bytes{0x10, 0x00, 0x00, 0x02, 0x01, 0x39};
    EXPECT_EQ(reader.Frames(), std::vector<Bytes>{frame});
    const Bytes reply = reader.Fixture().ExchangeBytes();
    ASSERT_GT(reply.size(), row.noCardPosition);
    EXPECT_EQ(reply[row.noCardPosition] == 0xAD, !row.card);
    // Either way the card is recorded absent, and the waiting request hears of it.
    EXPECT_EQ(reader.CardState(), SCARD_ABSENT);
    EXPECT_EQ(reader.Reader().CurrentCard(), nullptr);
    EXPECT_EQ(waiting->Wait().status, STATUS_SUCCESS);
  }
}

TEST(CardEject, AReaderThatDoesNotAnswerLeavesTheCardStateAlone) {
  ServedReader reader;
  reader.InsertCard();
  reader.SettleReader();
  reader.SetCardStateField(SCARD_SPECIFIC);
  reader.Reader().ScriptFault(emu::ReplyFault::NoReply());
  const kernel::IoResult result = reader.Control(IOCTL_SMARTCARD_EJECT, {}, 0);
  EXPECT_EQ(result.status, STATUS_IO_TIMEOUT);
  EXPECT_EQ(reader.CardState(), SCARD_SPECIFIC);
  EXPECT_NE(reader.Reader().CurrentCard(), nullptr);
}

TEST(CardEject, AReplyTooShortToCarryTheNoCardByteSaysNothingAboutTheCard) {
  ServedReader reader(readertest::ReaderWithFirmware("1.50"));
  reader.InsertCard();
  reader.SettleReader();
  reader.SetCardStateField(SCARD_SPECIFIC);
  // A complete reply of two information bytes: 10 00 00 02, then two bytes.
  reader.Reader().ScriptFault(emu::ReplyFault::Oversized(2));
  const kernel::IoResult result = reader.Control(IOCTL_SMARTCARD_EJECT, {}, 0);
  EXPECT_EQ(result.status, STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(reader.Fixture().ExchangeBytes().size(), 6u);
  EXPECT_EQ(reader.CardState(), SCARD_SPECIFIC);
}

}  // namespace
