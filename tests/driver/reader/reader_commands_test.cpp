// The reader commands through the emulated reader: their frames byte for
// byte, the sequence byte, the set-up sequence, the pauses, and what each
// leaves behind.
#include <gtest/gtest.h>

#include "emulator/reader/frame.h"
#include "driver/reader/reader_commands.h"
#include "driver/reader/reader_lock.h"
#include "tests/fixture/reader_device.h"

namespace {

using readertest::Bytes;
using readertest::DualProtocolCard;
using readertest::ReaderDevice;
using readertest::ReaderWithFirmware;

constexpr LONGLONG Ms = kernel::kMillisecond;

Bytes NewCommand(UCHAR sequence, const Bytes& information) {
  return emu::BuildNewFrame(0x12, sequence, information);
}

std::shared_ptr<emu::Card> CardWithAtr(const Bytes& atr) {
  emu::CardConfig config;
  config.atrOverride = atr;
  return std::make_shared<emu::Card>(config);
}

// A device whose reader has been set up and holds a card, as after a first status read.
struct SetUpReader {
  explicit SetUpReader(const char* firmware = "2.27", std::shared_ptr<emu::Card> card = DualProtocolCard())
      : device(ReaderWithFirmware(firmware)) {
    if (card) device.InsertCard(std::move(card));
    EXPECT_EQ(GetReaderStatus(device.Device()), STATUS_SUCCESS);
    device.ClearTrace();
  }
  ReaderDevice device;
};

TEST(SequenceByte, AlternatesWithEverySuccessfulStatusRead) {
  SetUpReader r;
  DeviceContext& context = r.device.Context();
  context.SequenceByte = 0x00;
  ASSERT_EQ(GetReaderStatus(r.device.Device()), STATUS_SUCCESS);
  ASSERT_EQ(GetReaderStatus(r.device.Device()), STATUS_SUCCESS);
  EXPECT_EQ(r.device.Written(), (std::vector<Bytes>{{0x12, 0x00, 0x02, 0x01, 0x31, 0x20},
                                                    {0x12, 0x40, 0x02, 0x01, 0x31, 0x60}}));
  EXPECT_EQ(context.SequenceByte, 0x00);
}

TEST(SequenceByte, StaysAfterAFailedStatusReadAndMovesWithOtherCommandsWhateverTheyReturn) {
  SetUpReader r;
  DeviceContext& context = r.device.Context();
  context.SequenceByte = 0x00;
  r.device.Reader().ScriptFault(emu::ReplyFault::NoReply());
  EXPECT_EQ(GetReaderStatus(r.device.Device()), STATUS_TIMEOUT);
  EXPECT_EQ(GetReaderStatus(r.device.Device()), STATUS_SUCCESS);
  // Its reply may still come: a status command with the other control byte
  // reads past it first.
  EXPECT_EQ(r.device.Written(), (std::vector<Bytes>{{0x12, 0x00, 0x02, 0x01, 0x31, 0x20},
                                                    {0x12, 0x40, 0x02, 0x01, 0x31, 0x60},
                                                    {0x12, 0x00, 0x02, 0x01, 0x31, 0x20}}));
  EXPECT_EQ(context.SequenceByte, 0x40);

  r.device.Reader().ScriptFault(emu::ReplyFault::NoReply());
  EXPECT_EQ(SendCommand41(r.device.Device()), STATUS_TIMEOUT);
  EXPECT_EQ(context.SequenceByte, 0x00);
}

TEST(GetReaderStatus, RunsTheSetUpSequenceForAReaderNotSetUp) {
  ReaderDevice device;
  // The start set the reader up; a port reset undoes that.
  device.Reader().ResetPort();
  device.InsertCard(DualProtocolCard());
  DeviceContext& context = device.Context();
  context.SequenceByte = 0x00;
  device.ClearTrace();
  ASSERT_EQ(GetReaderStatus(device.Device()), STATUS_SUCCESS);
  // The reader said 0x08: a card, not set up. 0xD0, then 0x41, carrying the next sequence bytes.
  EXPECT_EQ(device.Written(), (std::vector<Bytes>{{0x12, 0x00, 0x02, 0x01, 0x31, 0x20},
                                                  NewCommand(0x40, {0x01, 0xD0}),
                                                  NewCommand(0x00, {0x01, 0x41})}));
  EXPECT_EQ(context.ReaderStatus, 0x28);
  EXPECT_EQ(device.Reader().StatusByte() & 0x20, 0x20);
  // 10 ms before the 0xD0 frame and 15 ms after its exchange.
  const std::vector<emu::FrameRecord> frames = device.FramesReceived();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_GE(frames[1].time - frames[0].time, 10 * Ms);
  EXPECT_GE(frames[2].time - frames[1].time, 15 * Ms);

  device.ClearTrace();
  ASSERT_EQ(GetReaderStatus(device.Device()), STATUS_SUCCESS);
  EXPECT_EQ(device.Written().size(), 1u);  // set up now: no sequence
}

TEST(GetReaderStatus, CountsAFailedReadAsASetUpReaderWithoutCard) {
  for (const char* firmware : {"2.27", "1.50"}) {
    SetUpReader r(firmware);
    DeviceContext& context = r.device.Context();
    ASSERT_EQ(context.ReaderStatus, 0x28) << firmware;

    r.device.Reader().FailNextBulkIn(usb::TransferFailure{STATUS_DEVICE_DATA_ERROR, USBD_STATUS_DEV_NOT_RESPONDING});
    EXPECT_EQ(GetReaderStatus(r.device.Device()), STATUS_DEVICE_DATA_ERROR) << firmware;
    EXPECT_EQ(context.ReaderStatus, 0x20) << firmware;
    EXPECT_EQ(r.device.Written().size(), 1u) << firmware;  // no set-up sequence
  }
}

TEST(GetReaderStatus, CountsATimeoutAsASetUpReaderWithoutCard) {
  for (const char* firmware : {"2.27", "1.50"}) {
    SetUpReader r(firmware);
    r.device.Reader().SetZeroLengthWhenIdle(true);
    // The first bytes of the reply, without the status byte, then nothing.
    r.device.Reader().ScriptFault(emu::ReplyFault::Truncate(5));
    EXPECT_EQ(GetReaderStatus(r.device.Device()), STATUS_TIMEOUT) << firmware;
    EXPECT_EQ(r.device.Context().ReaderStatus, 0x20) << firmware;
    EXPECT_EQ(r.device.Written().size(), 1u) << firmware;
  }
}

TEST(GetReaderStatus, RefusedOnADeviceNotUsable) {
  SetUpReader r;
  r.device.Context().RemovePending = 1;
  EXPECT_EQ(GetReaderStatus(r.device.Device()), STATUS_DELETE_PENDING);
  EXPECT_EQ(r.device.Context().ReaderStatus, 0x20);
  EXPECT_TRUE(r.device.Written().empty());
  r.device.Context().RemovePending = 0;
}

TEST(ReaderCommands, GiveUpOnASilentReaderAndReleaseTheLock) {
  SetUpReader r;
  DeviceContext& context = r.device.Context();
  r.device.Reader().ScriptFault(emu::ReplyFault::NoReply());
  const LONGLONG before = kernel::Now();
  EXPECT_EQ(EjectCard(r.device.Device()), STATUS_TIMEOUT);
  // The one read waited for the 7-second bound of the transfer.
  EXPECT_GE(kernel::Now() - before, 7'000 * Ms);
  EXPECT_LT(kernel::Now() - before, 7'100 * Ms);
  EXPECT_EQ(context.ExchangeLength, 0u);
  EXPECT_EQ(context.ReaderLock.Owner, nullptr);
  EXPECT_EQ(r.device.Port().ParkedTransfers(), 0u);
}

TEST(ResetCard, SendsTheParameterByteTheFirmwareTakes) {
  struct {
    const char* firmware;
    Bytes information;  // of the warm reset
  } const cases[] = {
      {"2.27", {0x01, 0xD1, 0x03}},
      {"3.01", {0x01, 0xD1, 0x01}},  // no warm reset on 3.01
      {"2.10", {0x01, 0xD1}},        // below 2.20: no parameter
      {"3.00", {0x01, 0xD1}},
  };
  for (const auto& c : cases) {
    SetUpReader r(c.firmware);
    DeviceContext& context = r.device.Context();
    const UCHAR sequence = context.SequenceByte;
    context.SmartcardExtension.MinorIoControlCode = SCARD_WARM_RESET;
    ASSERT_EQ(ResetCard(r.device.Device(), &context.SmartcardExtension, 1), STATUS_SUCCESS) << c.firmware;
    EXPECT_EQ(r.device.Written(), std::vector<Bytes>{NewCommand(sequence, c.information)}) << c.firmware;
    EXPECT_EQ(context.SequenceByte, sequence ^ 0x40) << c.firmware;
  }
}

TEST(ResetCard, OldGenerationFrameHasNoParameter) {
  SetUpReader r("1.50");
  DeviceContext& context = r.device.Context();
  context.SmartcardExtension.MinorIoControlCode = SCARD_COLD_RESET;
  ASSERT_EQ(ResetCard(r.device.Device(), &context.SmartcardExtension, 0), STATUS_SUCCESS);
  EXPECT_EQ(r.device.Written(), (std::vector<Bytes>{{0x10, 0x00, 0x00, 0x02, 0x01, 0xD1}}));
  EXPECT_FALSE(r.device.Reader().LastResetParameter().has_value());
}

TEST(ResetCard, PausesHalfASecondForACardInAReaderSetUpButNotPowered) {
  SetUpReader r;
  DeviceContext& context = r.device.Context();
  ASSERT_EQ(context.ReaderStatus, 0x28);
  context.SmartcardExtension.MinorIoControlCode = SCARD_COLD_RESET;
  LONGLONG before = kernel::Now();
  ASSERT_EQ(ResetCard(r.device.Device(), &context.SmartcardExtension, 0), STATUS_SUCCESS);
  ASSERT_EQ(r.device.FramesReceived().size(), 1u);
  EXPECT_EQ(r.device.FramesReceived()[0].time - before, 500 * Ms);
  EXPECT_EQ(r.device.Reader().LastResetParameter(), UCHAR{0x00});

  ASSERT_EQ(GetReaderStatus(r.device.Device()), STATUS_SUCCESS);
  ASSERT_EQ(context.ReaderStatus, 0x38);  // powered now: no pause
  r.device.ClearTrace();
  before = kernel::Now();
  ASSERT_EQ(ResetCard(r.device.Device(), &context.SmartcardExtension, 0), STATUS_SUCCESS);
  EXPECT_EQ(r.device.FramesReceived()[0].time - before, 0);
}

TEST(ReadFirmwareVersion, ReadsTheVersionCharactersAsHexadecimalDigits) {
  struct {
    const char* firmware;
    USHORT version;
    UCHAR major;
    UCHAR minor;
  } const cases[] = {
      {"2.27", 0x227, 2, 0x27},
      {"2.1a", 0x21A, 2, 0x1A},
      {"3.01", 0x301, 3, 0x01},
      {"1.50", 0x150, 1, 0x50},  // read with a new-generation frame at start, as every reader answers one
  };
  for (const auto& c : cases) {
    ReaderDevice device(ReaderWithFirmware(c.firmware));
    EXPECT_EQ(device.StartStatus(), STATUS_SUCCESS) << c.firmware;
    EXPECT_EQ(device.Context().FirmwareVersion, c.version) << c.firmware;
    EXPECT_EQ(device.Extension().FirmwareMajor, c.major) << c.firmware;
    EXPECT_EQ(device.Extension().FirmwareMinor, c.minor) << c.firmware;
  }
}

TEST(ReadFirmwareVersion, StartTriesAgainAsFirmware201) {
  auto reader = std::make_shared<emu::Reader>(ReaderWithFirmware("2.27"));
  // The first answer is the reader's error reply: too short to hold a version.
  reader->ScriptFault(emu::ReplyFault::ErrorReply());
  ReaderDevice device(reader);
  EXPECT_EQ(device.StartStatus(), STATUS_SUCCESS);
  EXPECT_EQ(device.Context().FirmwareVersion, 0x227);
  const std::vector<emu::FrameRecord> frames = device.FramesReceived();
  ASSERT_GE(frames.size(), 2u);
  EXPECT_EQ(frames[0].bytes, (Bytes{0x12, 0x00, 0x02, 0x01, 0xC0, 0xD1}));
  EXPECT_EQ(frames[1].bytes, (Bytes{0x12, 0x40, 0x02, 0x01, 0xC0, 0x91}));
}

TEST(ReadFirmwareVersion, StoresNothingFromAReplyWithoutTheVersion) {
  ReaderDevice device;
  DeviceContext& context = device.Context();
  context.FirmwareVersion = 0x201;
  device.Reader().ScriptFault(emu::ReplyFault::ErrorReply());
  EXPECT_EQ(ReadFirmwareVersion(device.Device()), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(context.FirmwareVersion, 0x201);

  // Cut after the first version character: the exchange times out and the reply is too short.
  device.Reader().SetZeroLengthWhenIdle(true);
  device.Reader().ScriptFault(emu::ReplyFault::Truncate(13));
  EXPECT_EQ(ReadFirmwareVersion(device.Device()), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(context.FirmwareVersion, 0x201);
  EXPECT_EQ(device.Extension().FirmwareMinor, 0x27);  // from start
}

TEST(ReadFirmwareVersion, OldGenerationFrameAndReading) {
  ReaderDevice device(ReaderWithFirmware("1.50"));
  device.ClearTrace();
  ASSERT_EQ(ReadFirmwareVersion(device.Device()), STATUS_SUCCESS);
  EXPECT_EQ(device.Written(), (std::vector<Bytes>{{0x10, 0x00, 0x00, 0x02, 0x01, 0xC0}}));
  EXPECT_EQ(device.Context().FirmwareVersion, 0x150);
}

struct AtrCase {
  const char* what;
  Bytes atr;
  Bytes stored;
  UCHAR ifsc;
  LONGLONG blockWaitTime;
};

TEST(GetAtr, StoresTheAnalysedAtr) {
  const AtrCase cases[] = {
      {"no interface bytes", {0x3B, 0x00}, {0x3B, 0x00}, 0x20, 16'000'000},
      {"TD1 names T=1: the check byte is the computed one", {0x3B, 0x80, 0x01, 0x00}, {0x3B, 0x80, 0x01, 0x81}, 0x20,
       16'000'000},
      {"TA1 96: FI 9", {0x3B, 0x10, 0x96}, {0x3B, 0x10, 0x96}, 0x20, 11'625'000},
      {"TA1 96 and TB3 05: FI 9, BWI 0", {0x3B, 0x90, 0x96, 0x81, 0x21, 0x05, 0xA3},
       {0x3B, 0x90, 0x96, 0x81, 0x21, 0x05, 0xA3}, 0x20, 726'562},
      {"TA3 FE", {0x3B, 0x80, 0x81, 0x11, 0xFE, 0xEE}, {0x3B, 0x80, 0x81, 0x11, 0xFE, 0xEE}, 0xFE, 16'000'000},
  };
  for (const AtrCase& c : cases) {
    SetUpReader r("2.27", CardWithAtr(c.atr));
    DeviceContext& context = r.device.Context();
    ASSERT_EQ(GetAtr(r.device.Device()), STATUS_SUCCESS) << c.what;
    EXPECT_EQ(r.device.Written(), std::vector<Bytes>{NewCommand(r.device.Context().SequenceByte ^ 0x40,
                                                                {0x01, 0x35, 0x0A, 0x00})})
        << c.what;
    ASSERT_EQ(context.ExchangeLength, c.stored.size()) << c.what;
    EXPECT_EQ(Bytes(context.AtrBuffer, context.AtrBuffer + c.stored.size()), c.stored) << c.what;
    EXPECT_EQ(context.CardIfsc, c.ifsc) << c.what;
    EXPECT_EQ(context.BlockWaitTime, c.blockWaitTime) << c.what;
  }
}

TEST(GetAtr, RefusesAnAtrThatRunsPastItsReplyOrPast33Bytes) {
  Bytes tooLong = {0x3B, 0x0F};  // 15 historical bytes ...
  tooLong.resize(2 + 15, 0x41);
  tooLong[1] = 0xFF;  // ... behind TA1 TB1 TC1 TD1, chained until 34 bytes
  tooLong.insert(tooLong.begin() + 2, {0x11, 0x22, 0x33, 0xF1, 0x11, 0x22, 0x33, 0xF1, 0x11, 0x22, 0x33, 0xF1,
                                       0x11, 0x22, 0x33, 0x01});
  tooLong.push_back(0x00);
  ASSERT_EQ(tooLong.size(), 34u);
  const struct {
    const char* what;
    Bytes atr;
  } cases[] = {
      {"TD1 announced, missing", {0x3B, 0x80}},
      {"historical bytes missing", {0x3B, 0x04, 0x41}},
      {"34 bytes", tooLong},
  };
  for (const auto& c : cases) {
    SetUpReader r("2.27", CardWithAtr(c.atr));
    DeviceContext& context = r.device.Context();
    RtlFillMemory(context.AtrBuffer, AtrBufferSize, 0xEE);
    context.CardIfsc = 0x55;
    context.BlockWaitTime = 1234;
    EXPECT_EQ(GetAtr(r.device.Device()), STATUS_DEVICE_DATA_ERROR) << c.what;
    EXPECT_EQ(context.ExchangeLength, 0u) << c.what;
    EXPECT_EQ(Bytes(context.AtrBuffer, context.AtrBuffer + AtrBufferSize), Bytes(AtrBufferSize, 0xEE)) << c.what;
    EXPECT_EQ(context.CardIfsc, 0x55) << c.what;
    EXPECT_EQ(context.BlockWaitTime, 1234) << c.what;
  }
}

TEST(GetAtr, StoresTheCardsOwnAtrInTheOldGeneration) {
  SetUpReader r("1.50");
  DeviceContext& context = r.device.Context();
  ASSERT_EQ(GetAtr(r.device.Device()), STATUS_SUCCESS);
  EXPECT_EQ(r.device.Written(), (std::vector<Bytes>{{0x10, 0x00, 0x00, 0x04, 0x01, 0x35, 0x0A, 0x00}}));
  const Bytes atr = r.device.Reader().CurrentCard()->Atr();
  ASSERT_EQ(context.ExchangeLength, atr.size());
  EXPECT_EQ(Bytes(context.AtrBuffer, context.AtrBuffer + atr.size()), atr);
}

TEST(SendCommandB0, StartsAFreshT1SequenceOnlyWhenItSucceeds) {
  SetUpReader r;
  DeviceContext& context = r.device.Context();
  context.CommandB0Parameter = 0x05;
  context.T1Sequence = 0x11;
  r.device.Reader().FailNextBulkOut();
  EXPECT_EQ(SendCommandB0(r.device.Device()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(context.T1Sequence, 0x11);
  r.device.ClearTrace();
  const UCHAR sequence = context.SequenceByte;
  EXPECT_EQ(SendCommandB0(r.device.Device()), STATUS_SUCCESS);
  EXPECT_EQ(context.T1Sequence, 0x50);
  EXPECT_EQ(r.device.Written(), std::vector<Bytes>{NewCommand(sequence, {0x01, 0xB0, 0x00, 0x05})});
  EXPECT_EQ(r.device.Reader().CommandB0Parameter(), UCHAR{0x05});
}

}  // namespace
