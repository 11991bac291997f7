// The driver's own control codes, pass-through included, sent as an
// application sends them: a buffered control request at the top of the
// device's stack, served by the vendor reader function.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "emulator/reader/frame.h"
#include "driver/models/model.h"
#include "driver/reader/reader_commands.h"
#include "driver/reader/vendor_ioctl.h"
#include "tests/fixture/reader_device.h"

namespace {

using readertest::Bytes;
using readertest::ReaderDevice;
using readertest::ReaderWithFirmware;
constexpr ULONG Pass = IOCTL_VENDOR_PASS_THROUGH;

Bytes NewFrame(const Bytes& information, UCHAR control = 0x00) { return emu::BuildNewFrame(0x12, control, information); }

TEST(VendorIoctl, RefusesWhatItCannotServeAndTouchesNothing) {
  Bytes filler(247, 0x00);  // 01 31 and filler: a frame of 251 bytes
  filler[0] = 0x01;
  filler[1] = 0x31;
  const NTSTATUS Invalid = STATUS_INVALID_PARAMETER;
  // What, on a reader of the old generation, the code, its input, the output's length, the status.
  const std::tuple<const char*, bool, ULONG, Bytes, ULONG, NTSTATUS> cases[] = {
      {"unknown code", false, SCARD_CTL_CODE(2057), {}, 8, STATUS_INVALID_DEVICE_REQUEST},
      {"version, 7 bytes of output", false, IOCTL_VENDOR_GET_VERSION, {}, 7, Invalid},
      {"eject, 1 byte of output", false, IOCTL_VENDOR_EJECT, {}, 1, Invalid},
      {"0xB0 without its parameter byte", false, IOCTL_VENDOR_COMMAND_B0, {}, 2, Invalid},
      {"device descriptor, no buffer", false, IOCTL_VENDOR_GET_DEVICE_DESCRIPTOR, {}, 0, Invalid},
      {"device descriptor, 17 bytes", false, IOCTL_VENDOR_GET_DEVICE_DESCRIPTOR, {}, 17, STATUS_BUFFER_TOO_SMALL},
      {"configuration descriptor, 8 bytes", false, IOCTL_VENDOR_GET_CONFIG_DESCRIPTOR, {}, 8, STATUS_BUFFER_TOO_SMALL},
      // Pass-through: a type or address it carries, within its length limit,
      // and exactly the N + 4 bytes the header announces.
      {"no frame", false, Pass, {}, 16, Invalid},
      {"251 bytes", false, Pass, NewFrame(filler), 512, Invalid},
      {"old type, new reader", false, Pass, {0x10, 0x00, 0x00, 0x02, 0x01, 0x31}, 512, Invalid},
      {"card address", false, Pass, {0x52, 0x00, 0x02, 0x01, 0x31, 0x60}, 512, Invalid},
      {"shorter than a frame", false, Pass, {0x12, 0x00, 0x00}, 512, Invalid},
      {"N 5, 2 bytes", false, Pass, {0x12, 0x00, 0x05, 0x01, 0x31, 0x25}, 512, Invalid},
      {"new address, old reader", true, Pass, {0x12, 0x00, 0x02, 0x01, 0x31, 0x20}, 512, Invalid},
      {"old command of 251 bytes", true, Pass, emu::BuildOldFrame(0x10, filler), 512, Invalid},
      {"old length 3, 2 bytes", true, Pass, {0x10, 0x00, 0x00, 0x03, 0x01, 0x31}, 512, Invalid},
      {"card frame past 0x10020 bytes", true, Pass, emu::BuildOldFrame(0x51, Bytes(PassThroughCardFrameMax - 3, 0)),
       PassThroughCardFrameMax, Invalid},
  };
  for (const auto& [what, old, code, input, output, status] : cases) {
    ReaderDevice device(ReaderWithFirmware(old ? "1.50" : "2.27"));
    RtlFillMemory(device.Context().ExchangeBuffer, ExchangeBufferSize, 0xEE);
    device.Context().ExchangeLength = 77;
    device.ClearTrace();
    const kernel::IoResult result = device.Control(code, input, output);
    EXPECT_EQ((std::pair{result.status, result.information}), (std::pair{status, ULONG_PTR{0}})) << what;
    EXPECT_EQ(device.ExchangeBytes(), Bytes(77, 0xEE)) << what;
    EXPECT_TRUE(device.Written().empty()) << what;
  }
}

TEST(VendorIoctl, ReturnsTheVersionBlockTheDescriptorsAndTheStatusBytesThatEndAReply) {
  ReaderDevice device;
  DeviceContext& context = device.Context();
  // Version 0x150 little-endian, the driver's version 2.27 or 2.28, the firmware's 2.27 read afresh.
  const UCHAR driverMinor = std::strcmp(ModelIdentity.DeliverableName, "Kt2210p") == 0 ? 0x1B : 0x1C;
  const Bytes configuration = device.Reader().GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0);
  device.InsertCard(readertest::DualProtocolCard());
  const std::tuple<ULONG, Bytes, ULONG, Bytes> cases[] = {
      {IOCTL_VENDOR_GET_VERSION, {}, 8, {0x50, 0x01, 0x00, 0x00, 0x02, driverMinor, 0x02, 0x27}},
      {IOCTL_VENDOR_GET_DEVICE_DESCRIPTOR, {}, 18, device.Reader().GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0)},
      {IOCTL_VENDOR_GET_CONFIG_DESCRIPTOR, {}, 64, Bytes(configuration.begin(), configuration.begin() + 9)},
      {IOCTL_VENDOR_EJECT, {}, 2, {0x90, 0x00}},
      {IOCTL_VENDOR_EJECT, {}, 2, {0xF4, 0xAD}},  // no card now: the reader's error reply 01 39 F4 AD
      {IOCTL_VENDOR_COMMAND_B0, {0x05}, 2, {0x90, 0x00}},
  };
  for (const auto& [code, input, output, answer] : cases) {
    const kernel::IoResult result = device.Control(code, input, output);
    EXPECT_EQ(result.status, STATUS_SUCCESS) << std::hex << code;
    EXPECT_EQ(result.output, answer) << std::hex << code;
  }
  EXPECT_EQ(device.Reader().CommandB0Parameter(), UCHAR{0x05});
  // A reply that lacks the status bytes (two bytes arrive, then nothing), or a failed write, gives none.
  device.Reader().SetZeroLengthWhenIdle(true);
  device.Reader().ScriptFault(emu::ReplyFault::Truncate(2));
  EXPECT_EQ(device.Control(IOCTL_VENDOR_EJECT, {}, 2).status, STATUS_DEVICE_DATA_ERROR);
  context.T1Sequence = 0x11;
  device.Reader().FailNextBulkOut();
  EXPECT_EQ(device.Control(IOCTL_VENDOR_COMMAND_B0, Bytes{0x01}, 2).status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(context.T1Sequence, 0x11);  // a fresh T=1 sequence only after a 0xB0 that went through
}

TEST(PassThrough, WritesTheCheckByteAndSetsTheReaderUpAfterARestart) {
  ReaderDevice device;
  const UCHAR sequence = device.Context().SequenceByte;
  device.ClearTrace();
  // 00 F5 restarts the reader; the application's check byte 77 becomes 12^40^02^00^F5 = A5.
  const Bytes restart = {0x12, 0x40, 0x02, 0x00, 0xF5, 0x77};
  EXPECT_EQ(device.Control(Pass, restart, 7).status, STATUS_BUFFER_TOO_SMALL);
  const kernel::IoResult result = device.Control(Pass, restart, 8);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.output, NewFrame({0x00, 0xF5, 0x90, 0x00}, 0x40));
  const Bytes sent = {0x12, 0x40, 0x02, 0x00, 0xF5, 0xA5};
  // The frame's control byte is the application's; the set-up sequence after it takes the next two.
  EXPECT_EQ(device.Written(), (std::vector<Bytes>{sent, sent, NewFrame({0x01, 0xD0}, sequence),
                                                  NewFrame({0x01, 0x41}, sequence ^ 0x40)}));
  EXPECT_EQ(device.Context().SequenceByte, sequence);
}

// An old reader runs a card frame on its own; the driver polls its transfer
// state (0xD2) until the answer waits, then fetches it (0xD3).
TEST(PassThrough, CollectsTheAnswerToAnOldGenerationCardFrameAndCarriesTheLongest) {
  // APDU GET CHALLENGE for 4 bytes (ISO/IEC 7816-4 clause 11.5.6) in a type 0x51 frame.
  const Bytes apdu = {0x51, 0x00, 0x00, 0x05, 0x00, 0x84, 0x00, 0x00, 0x04};
  const Bytes poll = {0x10, 0x00, 0x00, 0x02, 0x01, 0xD2};
  for (const bool refused : {false, true}) {
    emu::ReaderConfig config = ReaderWithFirmware("1.50");
    config.transferBusyPolls = 1;
    ReaderDevice device(config);
    device.InsertCard(readertest::DualProtocolCard());
    ASSERT_EQ(GetAtr(device.Device()), STATUS_SUCCESS);  // powers the card
    if (refused) device.Reader().ScriptFault(emu::ReplyFault::ErrorReply());  // its state then reads 3
    device.ClearTrace();
    const kernel::IoResult result = device.Control(Pass, apdu, 512);
    EXPECT_EQ(result.status, refused ? STATUS_IO_DEVICE_ERROR : STATUS_SUCCESS);
    EXPECT_EQ(device.Written(), (refused ? std::vector<Bytes>{apdu, poll}
                                         : std::vector<Bytes>{apdu, poll, poll, {0x10, 0x00, 0x00, 0x02, 0x01, 0xD3}}));
    // The answer: the transfer result, four challenge bytes and 90 00 inside.
    const Bytes answer = device.Reader().RepliesSent().back().bytes;
    EXPECT_EQ(result.output, refused ? Bytes{} : answer);
    EXPECT_EQ(result.output.size(), refused ? 0u : 10u);
  }
  // A card frame of 0x10020 bytes goes out whole.
  ReaderDevice device(ReaderWithFirmware("1.50"));
  const Bytes longest = emu::BuildOldFrame(0x51, Bytes(PassThroughCardFrameMax - 4, 0x00));
  device.ClearTrace();
  device.Control(Pass, longest, PassThroughCardFrameMax);
  EXPECT_EQ(device.Written().at(0), longest);
}

TEST(ResetPortIfDisabled, ResetsOnlyAPortConnectedButNotEnabled) {
  ReaderDevice device;
  using Kind = usb::TraceEntry::Kind;
  const std::pair<void (*)(ReaderDevice&), std::vector<Kind>> cases[] = {
      {[](ReaderDevice&) {}, {Kind::PortStatus}},  // enabled
      {[](ReaderDevice& d) { d.Reader().DisablePort(); }, {Kind::PortStatus, Kind::PortReset}},
      {[](ReaderDevice& d) { d.Port().Unplug(); }, {Kind::PortStatus}},
  };
  for (const auto& [arrange, requests] : cases) {
    arrange(device);
    device.ClearTrace();
    EXPECT_EQ(device.Control(IOCTL_VENDOR_RESET_PORT, {}, 0).status, STATUS_SUCCESS);
    std::vector<Kind> kinds;
    for (const usb::TraceEntry& entry : device.Port().Trace()) kinds.push_back(entry.kind);
    EXPECT_EQ(kinds, requests);
  }
  EXPECT_EQ(device.Reader().Counters().portResets, 1u);
}

}  // namespace
