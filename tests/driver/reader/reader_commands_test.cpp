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
  explicit SetUpReader(const char* firmware, emu::CardConfig card = {})
      : device(readertest::ReaderWithFirmware(firmware)), context(device.Context()) {
    device.InsertCard(std::make_shared<emu::Card>(card));
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
  const std::pair<NTSTATUS (*)(PDEVICE_OBJECT), Bytes> commands[] = {
      {GetReaderStatus, {0x01, 0x31}},
      // The reset's parameter byte goes out in the new generation only.
      {[](PDEVICE_OBJECT d) { return ResetCardFor(d, SCARD_COLD_RESET, 0); }, {0x01, 0xD1, 0x00}},
      {GetAtr, {0x01, 0x35, 0x0A, 0x00}},  // two parameters the reader ignores
      {ReadFirmwareVersion, {0x01, 0xC0}},
      {SendCommandB0, {0x01, 0xB0, 0x00, 0x05}},
      {SendCommandD8, {0x01, 0xD8, 0x00, 0x07}},
      {EjectCard, {0x01, 0x39}},
  };
  for (const auto& [run, information] : commands) {
    r.device.ClearTrace();
    const UCHAR sequence = context.SequenceByte;
    ASSERT_EQ(run(r.device.Device()), STATUS_SUCCESS) << int{information[1]};
    const Bytes old(information.begin(), information.end() - (information[1] == 0xD1 ? 1 : 0));
    EXPECT_EQ(r.device.Written(),
              std::vector<Bytes>{isNew ? NewCommand(sequence, information) : emu::BuildOldFrame(0x10, old)});
    // The new generation's control byte alternates with every command.
    EXPECT_EQ(context.SequenceByte, isNew ? sequence ^ 0x40 : sequence) << int{information[1]};
  }
  EXPECT_EQ(r.device.Reader().LastResetParameter().has_value(), isNew);
  EXPECT_EQ(Bytes(context.AtrBuffer, context.AtrBuffer + atr.size()), atr);
  EXPECT_EQ(context.FirmwareVersion, version);
  EXPECT_EQ(context.T1Sequence, 0x50);  // 0xB0 starts a fresh T=1 sequence
  EXPECT_EQ(r.device.Reader().CommandB0Parameter(), UCHAR{0x05});
  EXPECT_EQ(r.device.Reader().CommandD8Parameter(), UCHAR{0x07});
  EXPECT_EQ(r.device.Reader().CurrentCard(), nullptr);
}

TEST_P(ReaderCommands, CountAFailedStatusReadAsASetUpReaderWithoutCardAndKeepTheVersionOnABadReply) {
  const std::pair<void (*)(ReaderDevice&), NTSTATUS> cases[] = {
      {[](ReaderDevice& d) { d.Reader().FailNextBulkIn({STATUS_DEVICE_DATA_ERROR, USBD_STATUS_DEV_NOT_RESPONDING}); },
       STATUS_DEVICE_DATA_ERROR},
      {[](ReaderDevice& d) { d.Reader().ScriptFault(emu::ReplyFault::Truncate(5)); }, STATUS_TIMEOUT},  // no status
      {[](ReaderDevice& d) { d.Context().RemovePending = 1; }, STATUS_DELETE_PENDING},
  };
  for (const auto& [arrange, status] : cases) {
    SetUpReader r(GetParam());
    // A reply without the version characters leaves the version as it was.
    const USHORT version = r.context.FirmwareVersion;
    r.device.Reader().ScriptFault(emu::ReplyFault::ErrorReply());
    EXPECT_EQ(ReadFirmwareVersion(r.device.Device()), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(r.context.FirmwareVersion, version);
    r.device.ClearTrace();
    r.device.Reader().SetZeroLengthWhenIdle(true);
    const UCHAR sequence = r.context.SequenceByte;
    arrange(r.device);
    EXPECT_EQ(GetReaderStatus(r.device.Device()), status);
    EXPECT_EQ(r.context.ReaderStatus, 0x20);
    EXPECT_EQ(r.context.SequenceByte, sequence);  // moves only once the reader answered
    EXPECT_EQ(r.device.Written().size(), status == STATUS_DELETE_PENDING ? 0u : 1u);  // and no set-up sequence
    r.context.RemovePending = 0;
  }
}

INSTANTIATE_TEST_SUITE_P(BothGenerations, ReaderCommands, testing::Values("2.27", "1.50"));

TEST(ReaderCommands, SetUpAReaderNotSetUpWithPauses) {
  SetUpReader r("2.27");
  r.device.Reader().ResetPort();  // undoes the set-up
  r.context.SequenceByte = 0x00;
  ASSERT_EQ(GetReaderStatus(r.device.Device()), STATUS_SUCCESS);
  // The reader said 0x08: a card, not set up. 0xD0, then 0x41, with the next control bytes.
  EXPECT_EQ(r.device.Written(), (std::vector<Bytes>{NewCommand(0x00, {0x01, 0x31}), NewCommand(0x40, {0x01, 0xD0}),
                                                    NewCommand(0x00, {0x01, 0x41})}));
  EXPECT_EQ(r.context.ReaderStatus, 0x28);
  // 10 ms before the 0xD0 frame and 15 ms after its exchange.
  const std::vector<emu::FrameRecord> frames = r.device.FramesReceived();
  EXPECT_GE(frames.at(1).time - frames.at(0).time, 10 * Ms);
  EXPECT_GE(frames.at(2).time - frames.at(1).time, 15 * Ms);
}

TEST(ResetCard, SendsTheParameterByteTheFirmwareTakesAfterAPauseForACardNotPowered) {
  const std::pair<const char*, Bytes> cases[] = {
      {"2.27", {0x01, 0xD1, 0x03}},  // a warm reset asking for T=1
      {"3.01", {0x01, 0xD1, 0x01}},  // no warm reset on 3.01
      {"2.10", {0x01, 0xD1}},        // below 2.20: no parameter
      {"3.00", {0x01, 0xD1}},
  };
  for (const auto& [firmware, information] : cases) {
    SetUpReader r(firmware);
    ASSERT_EQ(r.context.ReaderStatus, 0x28);  // card in, set up, not powered
    const UCHAR sequence = r.context.SequenceByte;
    const LONGLONG before = kernel::Now();
    ASSERT_EQ(ResetCardFor(r.device.Device(), SCARD_WARM_RESET, 1), STATUS_SUCCESS) << firmware;
    EXPECT_EQ(r.device.Written(), std::vector<Bytes>{NewCommand(sequence, information)}) << firmware;
    EXPECT_EQ(r.device.FramesReceived().at(0).time - before, 500 * Ms);
  }
}

}  // namespace
