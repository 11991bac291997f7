// CardPower through the smart-card library and the emulated reader: the
// frames of a cold and a warm reset, the ATR in the reply and in the card
// capabilities, the paths without a card, the failures, and power down.
#include <optional>

#include <gtest/gtest.h>

#include "driver/card/card_power.h"
#include "emulator/reader/frame.h"
#include "tests/driver/tracking/served_reader.h"

namespace {

using trackingtest::Bytes;
using trackingtest::ServedReader;

constexpr UCHAR Toggle = 0x40;

// A T=1 card whose ATR names its IFSC (TA3 = 0x80) and BWI (TB3 = 0x45):
// 3B 82 | TD1 81 | TD2 31 | TA3 80 | TB3 45 | historical 54 31 | TCK 92.
const Bytes IfscCardAtr{0x3B, 0x82, 0x81, 0x31, 0x80, 0x45, 0x54, 0x31, 0x92};

std::shared_ptr<emu::Card> IfscCard() {
  emu::CardConfig config;
  config.atr.t0 = false;
  config.atr.t1 = true;
  config.atr.ta3 = 0x80;
  config.atr.tb3 = 0x45;
  config.atr.historical = {0x54, 0x31};
  return std::make_shared<emu::Card>(config);
}

Bytes NewCommand(UCHAR sequence, Bytes info) { return emu::BuildNewFrame(0x12, sequence, info); }

// A reader with the card in, set up, the card state as the poll left it,
// and values in the fields a reset must rewrite.
void PrepareCardIn(ServedReader& reader, std::shared_ptr<emu::Card> card = IfscCard()) {
  reader.InsertCard(std::move(card));
  reader.SettleReader();
  reader.SetCardStateField(SCARD_PRESENT);
  reader.Context().T1Sequence = 0x50;
  reader.Extension().T1.IFSC = 0x11;
  reader.Extension().T1.IFSD = 0x22;
}

TEST(CardPower, ColdResetSendsStatusResetAndAtrAndPublishesTheAtr) {
  ServedReader reader;
  PrepareCardIn(reader);
  const UCHAR s = reader.Context().SequenceByte;
  const kernel::IoResult result = reader.Power(SCARD_COLD_RESET);

  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.output, IfscCardAtr);
  EXPECT_EQ(result.information, IfscCardAtr.size());
  EXPECT_EQ(reader.Frames(), (std::vector<Bytes>{
                                 NewCommand(s, {0x01, 0x31}),                      // status
                                 NewCommand(s ^ Toggle, {0x01, 0xD1, 0x00}),       // cold reset, T=0 bit clear
                                 NewCommand(s, {0x01, 0x35, 0x0A, 0x00}),          // ATR
                             }));
  const SMARTCARD_EXTENSION& extension = reader.Extension();
  EXPECT_EQ(Bytes(extension.CardCapabilities.ATR.Buffer,
                  extension.CardCapabilities.ATR.Buffer + extension.CardCapabilities.ATR.Length),
            IfscCardAtr);
  EXPECT_EQ(extension.T1.IFSC, 0x80);
  EXPECT_EQ(extension.T1.IFSD, 254);
  EXPECT_EQ(reader.Context().CardIfsc, 0x80);
  // ISO/IEC 7816-3: the next I-block on either side carries N(S) 0.
  EXPECT_EQ(reader.Context().T1Sequence, 0);
  // The library moved the card on; the reset itself does not set the state.
  EXPECT_EQ(reader.CardState(), SCARD_NEGOTIABLE);
}

TEST(CardPower, WarmResetAsksTheReaderForAWarmResetWhereItsFirmwareCan) {
  struct Row {
    const char* firmware;
    Bytes resetInfo;
  };
  const Row rows[] = {
      {"2.27", {0x01, 0xD1, 0x03}},  // T=1 and warm
      {"3.01", {0x01, 0xD1, 0x01}},  // no warm bit for 3.01
      {"2.10", {0x01, 0xD1}},        // before 2.20: no parameter byte
      {"3.00", {0x01, 0xD1}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.firmware);
    ServedReader reader(readertest::ReaderWithFirmware(row.firmware));
    PrepareCardIn(reader);
    ASSERT_EQ(reader.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    reader.ClearTrace();
    const UCHAR s = reader.Context().SequenceByte;
    const kernel::IoResult result = reader.Power(SCARD_WARM_RESET);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.output, IfscCardAtr);
    const std::vector<Bytes> frames = reader.Frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[1], NewCommand(s ^ Toggle, row.resetInfo));
  }
}

TEST(CardPower, ResetsThroughAnOldGenerationReader) {
  ServedReader reader(readertest::ReaderWithFirmware("1.50"));
  PrepareCardIn(reader);
  const kernel::IoResult result = reader.Power(SCARD_COLD_RESET);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.output, IfscCardAtr);
  EXPECT_EQ(reader.Frames(), (std::vector<Bytes>{
                                 {0x10, 0x00, 0x00, 0x02, 0x01, 0x31},
                                 {0x10, 0x00, 0x00, 0x02, 0x01, 0xD1},
                                 {0x10, 0x00, 0x00, 0x04, 0x01, 0x35, 0x0A, 0x00},
                             }));
  EXPECT_EQ(reader.Context().T1Sequence, 0);
}

TEST(CardPower, ResetWithoutACardSendsOnlyTheStatusCommandAndCompletesTracking) {
  ServedReader reader;
  reader.SettleReader();
  reader.SetCardStateField(SCARD_SPECIFIC);
  reader.Extension().T1.IFSC = 0x11;
  reader.Extension().T1.IFSD = 0x22;
  auto waiting = reader.StartControl(IOCTL_SMARTCARD_IS_ABSENT);
  const UCHAR s = reader.Context().SequenceByte;

  for (ULONG operation : {SCARD_COLD_RESET, SCARD_WARM_RESET}) {
    const kernel::IoResult result = reader.Power(operation);
    EXPECT_EQ(result.status, STATUS_NO_MEDIA);
    EXPECT_EQ(result.information, 0u);
  }
  EXPECT_EQ(reader.Frames(), (std::vector<Bytes>{NewCommand(s, {0x01, 0x31}), NewCommand(s ^ Toggle, {0x01, 0x31})}));
  EXPECT_EQ(reader.CardState(), SCARD_ABSENT);
  EXPECT_EQ(reader.Extension().T1.IFSC, 0x11);
  EXPECT_EQ(reader.Extension().T1.IFSD, 0x22);
  EXPECT_EQ(waiting->Wait().status, STATUS_SUCCESS);
}

TEST(CardPower, AResetThatTimesOutIsReportedAsIoTimeoutAndPublishesNothing) {
  ServedReader reader;
  PrepareCardIn(reader);
  reader.Reader().ScriptFault(emu::ReplyFault::Delay(0));  // the status command answers
  reader.Reader().ScriptFault(emu::ReplyFault::NoReply());  // the reset does not
  const kernel::IoResult result = reader.Power(SCARD_COLD_RESET);
  EXPECT_EQ(result.status, STATUS_IO_TIMEOUT);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(reader.Frames().size(), 2u);
  EXPECT_EQ(reader.Extension().T1.IFSC, 32);
  EXPECT_EQ(reader.Extension().T1.IFSD, 254);
  EXPECT_EQ(reader.Extension().CardCapabilities.ATR.Length, 0);
  EXPECT_EQ(reader.Context().T1Sequence, 0x50);
  EXPECT_EQ(reader.CardState(), SCARD_PRESENT);
}

TEST(CardPower, AnAtrReadThatFailsAfterTheResetPublishesNothing) {
  struct Row {
    const char* what;
    std::shared_ptr<emu::Card> card;
    std::optional<emu::ReplyFault> atrFault;
    NTSTATUS status;
  };
  emu::CardConfig cut;
  // T0 announces TD1 and 15 historical bytes that never come.
  cut.atrOverride = Bytes{0x3B, 0x8F, 0x80};
  // The ATR reply is 17 bytes: 12 s 0D, 01 35, the 9 ATR bytes, 90 00, check byte.
  const Row rows[] = {
      {"the whole ATR but not the whole reply", IfscCard(), emu::ReplyFault::Truncate(16), STATUS_IO_TIMEOUT},
      {"no reply at all", IfscCard(), emu::ReplyFault::NoReply(), STATUS_DEVICE_DATA_ERROR},
      {"an ATR that runs past its reply", std::make_shared<emu::Card>(cut), std::nullopt, STATUS_DEVICE_DATA_ERROR},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ServedReader reader;
    PrepareCardIn(reader, row.card);
    if (row.atrFault) {
      reader.Reader().ScriptFault(emu::ReplyFault::Delay(0));  // status
      reader.Reader().ScriptFault(emu::ReplyFault::Delay(0));  // reset
      reader.Reader().ScriptFault(*row.atrFault);
    }
    const kernel::IoResult result = reader.Power(SCARD_COLD_RESET);
    EXPECT_EQ(result.status, row.status);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(reader.Frames().size(), 3u);
    EXPECT_EQ(reader.Extension().CardCapabilities.ATR.Length, 0);
    EXPECT_EQ(reader.Extension().T1.IFSC, 32);
    EXPECT_EQ(reader.Context().T1Sequence, 0x50);
    EXPECT_EQ(reader.CardState(), SCARD_PRESENT);
  }
}

TEST(CardPower, AReplyBufferShorterThanTheAtrGetsNoneOfItButTheCardIsPublished) {
  ServedReader reader;
  PrepareCardIn(reader);
  kernel::IoResult result = reader.Power(SCARD_COLD_RESET, static_cast<ULONG>(IfscCardAtr.size() - 1));
  EXPECT_EQ(result.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(reader.Extension().CardCapabilities.ATR.Length, IfscCardAtr.size());
  EXPECT_EQ(reader.Extension().T1.IFSC, 0x80);
  // The card was reset: the T=1 state follows it whatever the caller could take.
  EXPECT_EQ(reader.Context().T1Sequence, 0);

  result = reader.Power(SCARD_COLD_RESET, static_cast<ULONG>(IfscCardAtr.size()));
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.output, IfscCardAtr);
}

TEST(CardPower, PowerDownSendsOnlyTheStatusCommandAndCompletesNoTracking) {
  ServedReader reader;
  PrepareCardIn(reader);
  reader.SetCardStateField(SCARD_SPECIFIC);
  auto waiting = reader.StartControl(IOCTL_SMARTCARD_IS_ABSENT);
  const UCHAR s = reader.Context().SequenceByte;

  kernel::IoResult result = reader.Power(SCARD_POWER_DOWN);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(reader.CardState(), SCARD_PRESENT);
  EXPECT_EQ(reader.Frames(), std::vector<Bytes>{NewCommand(s, {0x01, 0x31})});
  EXPECT_EQ(reader.Extension().T1.IFSC, 0x11);
  EXPECT_EQ(reader.Context().T1Sequence, 0x50);

  // Without a card the state is recorded, and the waiting request still waits.
  reader.RemoveCard();
  result = reader.Power(SCARD_POWER_DOWN);
  EXPECT_EQ(result.status, STATUS_NO_MEDIA);
  EXPECT_EQ(reader.CardState(), SCARD_ABSENT);
  EXPECT_EQ(reader.Frames().size(), 2u);
  EXPECT_FALSE(waiting->Done());
  waiting->Cancel();
  EXPECT_EQ(waiting->Wait().status, STATUS_CANCELLED);
}

TEST(CardPower, AnUnknownPowerOperationReachesNoReader) {
  ServedReader reader;
  PrepareCardIn(reader);
  for (ULONG operation : {3u, 0x100u, 0xFFFFFFFFu}) {
    const kernel::IoResult result = reader.Power(operation);
    EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_REQUEST) << operation;
    EXPECT_EQ(result.information, 0u);
  }
  EXPECT_TRUE(reader.Frames().empty());
  EXPECT_EQ(reader.CardState(), SCARD_PRESENT);
}

}  // namespace
