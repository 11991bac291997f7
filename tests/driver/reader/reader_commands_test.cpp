// The reader commands on the emulated reader: their frames byte for byte in
// both generations, the sequence byte, the set-up sequence, the pauses, and
// what each leaves behind when the reader answers badly.
#include <gtest/gtest.h>

#include "emulator/reader/frame.h"
#include "driver/reader/firmware_generation.h"
#include "driver/reader/reader_commands.h"
#include "tests/fixture/reader_device.h"

namespace {

using readertest::Bytes;
using readertest::ReaderDevice;

constexpr LONGLONG Ms = kernel::kMillisecond;

Bytes NewCommand(UCHAR sequence, const Bytes& information) { return emu::BuildNewFrame(0x12, sequence, information); }

// A reader with this firmware, set up and holding a card, as after a first status read.
struct SetUpReader {
  explicit SetUpReader(const char* firmware = "2.27", std::shared_ptr<emu::Card> card = readertest::DualProtocolCard())
      : device(readertest::ReaderWithFirmware(firmware)), context(device.Context()) {
    device.InsertCard(std::move(card));
    EXPECT_EQ(GetReaderStatus(device.Device()), STATUS_SUCCESS);
    device.ClearTrace();
  }
  ReaderDevice device;
  DeviceContext& context;
};

class ReaderCommands : public testing::TestWithParam<const char*> {};

TEST_P(ReaderCommands, PutTheirFramesOnTheWire) {
  SetUpReader r(GetParam());
  DeviceContext& context = r.context;
  const bool isNew = FrameGenerationFor(context.FirmwareVersion) == FrameGenerationNew;
  const USHORT version = context.FirmwareVersion;
  const Bytes atr = r.device.Reader().CurrentCard()->Atr();
  context.CommandB0Parameter = 0x05;
  context.CommandD8Parameter = 0x07;
  const struct {
    const char* what;
    NTSTATUS (*run)(PDEVICE_OBJECT);
    Bytes information, oldInformation;
  } commands[] = {
      {"status", GetReaderStatus, {0x01, 0x31}, {0x01, 0x31}},
      {"cold reset: the parameter byte only in the new generation",
       [](PDEVICE_OBJECT device) { return ResetCardFor(device, SCARD_COLD_RESET, 0); }, {0x01, 0xD1, 0x00},
       {0x01, 0xD1}},
      {"ATR, with two parameters the reader ignores", GetAtr, {0x01, 0x35, 0x0A, 0x00}, {0x01, 0x35, 0x0A, 0x00}},
      {"firmware version", ReadFirmwareVersion, {0x01, 0xC0}, {0x01, 0xC0}},
      {"0xB0 and its parameter", SendCommandB0, {0x01, 0xB0, 0x00, 0x05}, {0x01, 0xB0, 0x00, 0x05}},
      {"0xD8 and its parameter", SendCommandD8, {0x01, 0xD8, 0x00, 0x07}, {0x01, 0xD8, 0x00, 0x07}},
      {"eject", EjectCard, {0x01, 0x39}, {0x01, 0x39}},
  };
  for (const auto& c : commands) {
    r.device.ClearTrace();
    const UCHAR sequence = context.SequenceByte;
    ASSERT_EQ(c.run(r.device.Device()), STATUS_SUCCESS) << c.what;
    EXPECT_EQ(r.device.Written(), std::vector<Bytes>{isNew ? NewCommand(sequence, c.information)
                                                           : emu::BuildOldFrame(0x10, c.oldInformation)})
        << c.what;
    // The new generation's control byte alternates with every command.
    EXPECT_EQ(context.SequenceByte, isNew ? sequence ^ 0x40 : sequence) << c.what;
  }
  EXPECT_EQ(r.device.Reader().LastResetParameter().has_value(), isNew);
  EXPECT_EQ(Bytes(context.AtrBuffer, context.AtrBuffer + atr.size()), atr);
  EXPECT_EQ(context.FirmwareVersion, version);
  EXPECT_EQ(context.T1Sequence, 0x50);  // 0xB0 starts a fresh T=1 sequence
  EXPECT_EQ(r.device.Reader().CommandB0Parameter(), UCHAR{0x05});
  EXPECT_EQ(r.device.Reader().CommandD8Parameter(), UCHAR{0x07});
  EXPECT_EQ(r.device.Reader().CurrentCard(), nullptr);
}

TEST_P(ReaderCommands, CountAFailedStatusReadAsASetUpReaderWithoutCard) {
  const struct {
    const char* what;
    void (*arrange)(ReaderDevice&);
    NTSTATUS status;
    std::size_t written;  // never a set-up sequence
  } cases[] = {
      {"a failed read",
       [](ReaderDevice& d) {
         d.Reader().FailNextBulkIn(usb::TransferFailure{STATUS_DEVICE_DATA_ERROR, USBD_STATUS_DEV_NOT_RESPONDING});
       },
       STATUS_DEVICE_DATA_ERROR, 1},
      {"a reply cut before the status byte, then nothing",
       [](ReaderDevice& d) {
         d.Reader().SetZeroLengthWhenIdle(true);
         d.Reader().ScriptFault(emu::ReplyFault::Truncate(5));
       },
       STATUS_TIMEOUT, 1},
      {"a device not usable", [](ReaderDevice& d) { d.Context().RemovePending = 1; }, STATUS_DELETE_PENDING, 0},
  };
  for (const auto& c : cases) {
    SetUpReader r(GetParam());
    ASSERT_EQ(r.context.ReaderStatus, 0x28) << c.what;
    c.arrange(r.device);
    EXPECT_EQ(GetReaderStatus(r.device.Device()), c.status) << c.what;
    EXPECT_EQ(r.context.ReaderStatus, 0x20) << c.what;
    EXPECT_EQ(r.device.Written().size(), c.written) << c.what;
    r.context.RemovePending = 0;
  }
}

INSTANTIATE_TEST_SUITE_P(BothGenerations, ReaderCommands, testing::Values("2.27", "1.50"));

TEST(ReaderCommands, StatusKeepsItsControlByteAfterASilenceAndReadsPastTheReplyLeft) {
  SetUpReader r;
  r.context.SequenceByte = 0x00;
  r.device.Reader().ScriptFault(emu::ReplyFault::NoReply());
  EXPECT_EQ(GetReaderStatus(r.device.Device()), STATUS_TIMEOUT);
  EXPECT_EQ(GetReaderStatus(r.device.Device()), STATUS_SUCCESS);
  // The late reply may still come: a status command with the other control byte reads past it first.
  EXPECT_EQ(r.device.Written(), (std::vector<Bytes>{{0x12, 0x00, 0x02, 0x01, 0x31, 0x20},
                                                    {0x12, 0x40, 0x02, 0x01, 0x31, 0x60},
                                                    {0x12, 0x00, 0x02, 0x01, 0x31, 0x20}}));
  EXPECT_EQ(r.context.SequenceByte, 0x40);
}

TEST(ReaderCommands, SetUpAReaderNotSetUpWithPauses) {
  ReaderDevice device;
  device.Reader().ResetPort();  // undoes the set-up of the start
  device.InsertCard(readertest::DualProtocolCard());
  device.Context().SequenceByte = 0x00;
  device.ClearTrace();
  ASSERT_EQ(GetReaderStatus(device.Device()), STATUS_SUCCESS);
  // The reader said 0x08: a card, not set up. 0xD0, then 0x41, with the next control bytes.
  EXPECT_EQ(device.Written(), (std::vector<Bytes>{{0x12, 0x00, 0x02, 0x01, 0x31, 0x20},
                                                  NewCommand(0x40, {0x01, 0xD0}),
                                                  NewCommand(0x00, {0x01, 0x41})}));
  EXPECT_EQ(device.Context().ReaderStatus, 0x28);
  // 10 ms before the 0xD0 frame and 15 ms after its exchange.
  const std::vector<emu::FrameRecord> frames = device.FramesReceived();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_GE(frames[1].time - frames[0].time, 10 * Ms);
  EXPECT_GE(frames[2].time - frames[1].time, 15 * Ms);
  device.ClearTrace();
  ASSERT_EQ(GetReaderStatus(device.Device()), STATUS_SUCCESS);
  EXPECT_EQ(device.Written().size(), 1u);  // set up now
}

TEST(ResetCard, SendsTheParameterByteTheFirmwareTakes) {
  const struct {
    const char* firmware;
    Bytes information;  // of a warm reset
  } cases[] = {
      {"2.27", {0x01, 0xD1, 0x03}},
      {"3.01", {0x01, 0xD1, 0x01}},  // no warm reset on 3.01
      {"2.10", {0x01, 0xD1}},        // below 2.20: no parameter
      {"3.00", {0x01, 0xD1}},
  };
  for (const auto& c : cases) {
    SetUpReader r(c.firmware);
    const UCHAR sequence = r.context.SequenceByte;
    ASSERT_EQ(ResetCardFor(r.device.Device(), SCARD_WARM_RESET, 1), STATUS_SUCCESS) << c.firmware;
    EXPECT_EQ(r.device.Written(), std::vector<Bytes>{NewCommand(sequence, c.information)}) << c.firmware;
  }
}

TEST(ResetCard, PausesHalfASecondForACardInAReaderSetUpButNotPowered) {
  SetUpReader r;
  ASSERT_EQ(r.context.ReaderStatus, 0x28);
  LONGLONG before = kernel::Now();
  ASSERT_EQ(ResetCardFor(r.device.Device(), SCARD_COLD_RESET, 0), STATUS_SUCCESS);
  EXPECT_EQ(r.device.FramesReceived().at(0).time - before, 500 * Ms);
  ASSERT_EQ(GetReaderStatus(r.device.Device()), STATUS_SUCCESS);
  ASSERT_EQ(r.context.ReaderStatus, 0x38);  // powered now: no pause
  r.device.ClearTrace();
  before = kernel::Now();
  ASSERT_EQ(ResetCardFor(r.device.Device(), SCARD_COLD_RESET, 0), STATUS_SUCCESS);
  EXPECT_EQ(r.device.FramesReceived().at(0).time - before, 0);
}

TEST(ReadFirmwareVersion, StartTriesAgainAsFirmware201AfterAnErrorReply) {
  auto reader = std::make_shared<emu::Reader>(readertest::ReaderWithFirmware("2.27"));
  reader->ScriptFault(emu::ReplyFault::ErrorReply());  // too short to hold a version
  ReaderDevice device(reader);
  EXPECT_EQ(device.StartStatus(), STATUS_SUCCESS);
  EXPECT_EQ(device.Context().FirmwareVersion, 0x227);
  const std::vector<emu::FrameRecord> frames = device.FramesReceived();
  ASSERT_GE(frames.size(), 2u);
  EXPECT_EQ(frames[0].bytes, (Bytes{0x12, 0x00, 0x02, 0x01, 0xC0, 0xD1}));
  EXPECT_EQ(frames[1].bytes, (Bytes{0x12, 0x40, 0x02, 0x01, 0xC0, 0x91}));

  // Later, a reply without the version (an error reply, or one cut after the
  // first version character) changes nothing.
  device.Context().FirmwareVersion = 0x201;
  device.Reader().ScriptFault(emu::ReplyFault::ErrorReply());
  EXPECT_EQ(ReadFirmwareVersion(device.Device()), STATUS_DEVICE_DATA_ERROR);
  device.Reader().SetZeroLengthWhenIdle(true);
  device.Reader().ScriptFault(emu::ReplyFault::Truncate(13));
  EXPECT_EQ(ReadFirmwareVersion(device.Device()), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(device.Context().FirmwareVersion, 0x201);
  EXPECT_EQ(device.Extension().FirmwareMinor, 0x27);
}

std::shared_ptr<emu::Card> CardWithAtr(const Bytes& atr) {
  emu::CardConfig config;
  config.atrOverride = atr;
  return std::make_shared<emu::Card>(config);
}

TEST(GetAtr, StoresTheAnalysedAtrWithTheComputedCheckByte) {
  // TA1 96 (FI 9), TD1 81, TD2 31, TA3 FE (IFSC), TB3 05 (BWI 0); the card's TCK 00 is wrong.
  SetUpReader r("2.27", CardWithAtr({0x3B, 0x90, 0x96, 0x81, 0x31, 0xFE, 0x05, 0x00}));
  ASSERT_EQ(GetAtr(r.device.Device()), STATUS_SUCCESS);
  const UCHAR tck = 0x90 ^ 0x96 ^ 0x81 ^ 0x31 ^ 0xFE ^ 0x05;
  ASSERT_EQ(r.context.ExchangeLength, 8u);
  EXPECT_EQ(Bytes(r.context.AtrBuffer, r.context.AtrBuffer + 8), (Bytes{0x3B, 0x90, 0x96, 0x81, 0x31, 0xFE, 0x05, tck}));
  EXPECT_EQ(r.context.CardIfsc, 0xFE);
  EXPECT_EQ(r.context.BlockWaitTime, 726'562);
}

TEST(GetAtr, RefusesAnAtrThatRunsPastItsReplyOrPast33Bytes) {
  Bytes tooLong = {0x3B, 0xFF, 0x11, 0x22, 0x33, 0xF1, 0x11, 0x22, 0x33, 0xF1,
                   0x11, 0x22, 0x33, 0xF1, 0x11, 0x22, 0x33, 0x01};  // TD4 makes it 34 with 15 historical bytes and TCK
  tooLong.resize(tooLong.size() + 15, 0x41);
  tooLong.push_back(0x00);
  for (const Bytes& atr : {Bytes{0x3B, 0x80}, Bytes{0x3B, 0x04, 0x41}, tooLong}) {
    SetUpReader r("2.27", CardWithAtr(atr));
    RtlFillMemory(r.context.AtrBuffer, AtrBufferSize, 0xEE);
    r.context.CardIfsc = 0x55;
    EXPECT_EQ(GetAtr(r.device.Device()), STATUS_DEVICE_DATA_ERROR) << atr.size();
    EXPECT_EQ(r.context.ExchangeLength, 0u);
    EXPECT_EQ(Bytes(r.context.AtrBuffer, r.context.AtrBuffer + AtrBufferSize), Bytes(AtrBufferSize, 0xEE));
    EXPECT_EQ(r.context.CardIfsc, 0x55);
  }
}

}  // namespace
