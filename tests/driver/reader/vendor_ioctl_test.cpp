// The driver's own control codes, pass-through included, sent as an
// application sends them: a buffered control request at the top of the
// device's stack, served by the vendor reader function.
#include <gtest/gtest.h>

#include <cstring>

#include "emulator/reader/frame.h"
#include "driver/models/model.h"
#include "driver/reader/reader_commands.h"
#include "driver/reader/reader_lock.h"
#include "driver/reader/vendor_ioctl.h"
#include "tests/fixture/reader_device.h"

namespace {

using readertest::Bytes;
using readertest::DualProtocolCard;
using readertest::ReaderDevice;
using readertest::ReaderWithFirmware;

constexpr LONGLONG Ms = kernel::kMillisecond;
const Bytes NoInput;

Bytes NewFrame(const Bytes& information, UCHAR control = 0x00) { return emu::BuildNewFrame(0x12, control, information); }

TEST(VendorIoctl, RefusesWhatItCannotServeAndTouchesNothing) {
  Bytes newTooLong(251 - 4, 0x00);  // 01 31 and filler: 251 bytes in all
  newTooLong[0] = 0x01;
  newTooLong[1] = 0x31;
  const struct {
    const char* what;
    const char* firmware;
    ULONG code;
    Bytes input;
    ULONG output;
    NTSTATUS status;
  } cases[] = {
      {"unknown code", "2.27", SCARD_CTL_CODE(2057), {}, 8, STATUS_INVALID_DEVICE_REQUEST},
      {"standard code", "2.27", IOCTL_SMARTCARD_POWER, {}, 8, STATUS_INVALID_DEVICE_REQUEST},
      {"version, 7 bytes of output", "2.27", IOCTL_VENDOR_GET_VERSION, {}, 7, STATUS_INVALID_PARAMETER},
      {"version, no buffer", "2.27", IOCTL_VENDOR_GET_VERSION, {}, 0, STATUS_INVALID_PARAMETER},
      {"eject, 1 byte of output", "2.27", IOCTL_VENDOR_EJECT, {}, 1, STATUS_INVALID_PARAMETER},
      {"0xB0 without its parameter byte", "2.27", IOCTL_VENDOR_COMMAND_B0, {}, 2, STATUS_INVALID_PARAMETER},
      {"0xD8 without its parameter byte", "2.27", IOCTL_VENDOR_COMMAND_D8, {}, 2, STATUS_INVALID_PARAMETER},
      {"device descriptor, no buffer", "2.27", IOCTL_VENDOR_GET_DEVICE_DESCRIPTOR, {}, 0, STATUS_INVALID_PARAMETER},
      {"device descriptor, 17 bytes", "2.27", IOCTL_VENDOR_GET_DEVICE_DESCRIPTOR, {}, 17, STATUS_BUFFER_TOO_SMALL},
      {"configuration descriptor, 8 bytes", "2.27", IOCTL_VENDOR_GET_CONFIG_DESCRIPTOR, {}, 8, STATUS_BUFFER_TOO_SMALL},
      {"pass-through, no input", "2.27", IOCTL_VENDOR_PASS_THROUGH, {}, 16, STATUS_INVALID_PARAMETER},
      // Pass-through frames: the type or address it carries, its length limit,
      // and exactly the N + 4 bytes the header announces.
      {"pass-through, 251 bytes", "2.27", IOCTL_VENDOR_PASS_THROUGH, NewFrame(newTooLong), 512,
       STATUS_INVALID_PARAMETER},
      {"pass-through, old type on a new reader", "2.27", IOCTL_VENDOR_PASS_THROUGH, {0x10, 0x00, 0x00, 0x02, 0x01, 0x31},
       512, STATUS_INVALID_PARAMETER},
      {"pass-through, card address", "2.27", IOCTL_VENDOR_PASS_THROUGH, {0x52, 0x00, 0x02, 0x01, 0x31, 0x60}, 512,
       STATUS_INVALID_PARAMETER},
      {"pass-through, shorter than a frame", "2.27", IOCTL_VENDOR_PASS_THROUGH, {0x12, 0x00, 0x00}, 512,
       STATUS_INVALID_PARAMETER},
      {"pass-through, N 5 but 2 bytes", "2.27", IOCTL_VENDOR_PASS_THROUGH, {0x12, 0x00, 0x05, 0x01, 0x31, 0x25}, 512,
       STATUS_INVALID_PARAMETER},
      {"pass-through, new address on an old reader", "1.50", IOCTL_VENDOR_PASS_THROUGH,
       {0x12, 0x00, 0x02, 0x01, 0x31, 0x20}, 512, STATUS_INVALID_PARAMETER},
      {"pass-through, old command of 251 bytes", "1.50", IOCTL_VENDOR_PASS_THROUGH,
       emu::BuildOldFrame(0x10, Bytes(247, 0x01)), 512, STATUS_INVALID_PARAMETER},
      {"pass-through, old length 3 but 2 bytes", "1.50", IOCTL_VENDOR_PASS_THROUGH,
       {0x10, 0x00, 0x00, 0x03, 0x01, 0x31}, 512, STATUS_INVALID_PARAMETER},
      {"pass-through, old card frame past 0x10020 bytes", "1.50", IOCTL_VENDOR_PASS_THROUGH,
       emu::BuildOldFrame(0x51, Bytes(PassThroughCardFrameMax - 3, 0x00)), PassThroughCardFrameMax,
       STATUS_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    ReaderDevice device(ReaderWithFirmware(c.firmware));
    DeviceContext& context = device.Context();
    RtlFillMemory(context.ExchangeBuffer, ExchangeBufferSize, 0xEE);
    context.ExchangeLength = 77;
    device.ClearTrace();
    const kernel::IoResult result = device.Control(c.code, c.input, c.output);
    EXPECT_EQ(result.status, c.status) << c.what;
    EXPECT_EQ(result.information, 0u) << c.what;
    EXPECT_EQ(device.ExchangeBytes(), Bytes(77, 0xEE)) << c.what;
    EXPECT_TRUE(device.Written().empty()) << c.what;
    EXPECT_EQ(context.ReaderLock.Owner, nullptr) << c.what;
  }
}

TEST(VendorIoctl, ReturnsTheVersionBlockAndTheDescriptorsReadAtStart) {
  ReaderDevice device;
  device.ClearTrace();
  kernel::IoResult result = device.Control(IOCTL_VENDOR_GET_VERSION, NoInput, 8);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  // Version 0x150 little-endian, the driver's version 2.27 or 2.28, the firmware's 2.27 read afresh.
  const UCHAR driverMinor = std::strcmp(ModelIdentity.DeliverableName, "Kt2210p") == 0 ? 0x1B : 0x1C;
  EXPECT_EQ(result.output, (Bytes{0x50, 0x01, 0x00, 0x00, 0x02, driverMinor, 0x02, 0x27}));
  EXPECT_EQ(device.Written().size(), 1u);

  result = device.Control(IOCTL_VENDOR_GET_DEVICE_DESCRIPTOR, NoInput, 18);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.output, device.Reader().GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0));
  result = device.Control(IOCTL_VENDOR_GET_CONFIG_DESCRIPTOR, NoInput, 64);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  const Bytes configuration = device.Reader().GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0);
  EXPECT_EQ(result.output, Bytes(configuration.begin(), configuration.begin() + 9));

  DeviceContext& context = device.Context();
  PUSB_CONFIGURATION_DESCRIPTOR read = context.ConfigurationDescriptor;
  context.ConfigurationDescriptor = nullptr;
  result = device.Control(IOCTL_VENDOR_GET_CONFIG_DESCRIPTOR, NoInput, 9);
  context.ConfigurationDescriptor = read;
  EXPECT_EQ(result.status, STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(result.information, 0u);
}

TEST(VendorIoctl, AnswersWithTheStatusBytesThatEndTheReply) {
  const struct {
    const char* what;
    const char* firmware;
    ULONG code;
    Bytes input, output;
  } cases[] = {
      {"eject", "2.27", IOCTL_VENDOR_EJECT, {}, {0x90, 0x00}},
      {"eject again: the reader's error reply 01 39 F4 AD", "2.27", IOCTL_VENDOR_EJECT, {}, {0xF4, 0xAD}},
      {"0xB0", "2.27", IOCTL_VENDOR_COMMAND_B0, {0x05}, {0x90, 0x00}},
      {"0xD8 on an old reader", "1.50", IOCTL_VENDOR_COMMAND_D8, {0x03}, {0x90, 0x00}},
  };
  std::unique_ptr<ReaderDevice> device;
  for (const auto& c : cases) {
    if (!device || device->Reader().Config().firmwareVersion != c.firmware) {
      device.reset();
      device = std::make_unique<ReaderDevice>(ReaderWithFirmware(c.firmware));
      device->InsertCard(DualProtocolCard());
    }
    const kernel::IoResult result = device->Control(c.code, c.input, 2);
    EXPECT_EQ(result.status, STATUS_SUCCESS) << c.what;
    EXPECT_EQ(result.output, c.output) << c.what;
  }
  EXPECT_EQ(device->Reader().CommandD8Parameter(), UCHAR{0x03});

  // A reply that lacks them (two bytes arrive, then nothing), or a failed write, gives none.
  device.reset();
  device = std::make_unique<ReaderDevice>();
  device->Reader().SetZeroLengthWhenIdle(true);
  device->Reader().ScriptFault(emu::ReplyFault::Truncate(2));
  kernel::IoResult result = device->Control(IOCTL_VENDOR_EJECT, NoInput, 2);
  EXPECT_EQ(result.status, STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(result.information, 0u);
  device->Context().T1Sequence = 0x11;
  device->Reader().FailNextBulkOut();
  result = device->Control(IOCTL_VENDOR_COMMAND_B0, Bytes{0x01}, 2);
  EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(device->Context().T1Sequence, 0x11);  // a fresh T=1 sequence only after a 0xB0 that went through
}

TEST(PassThrough, WritesTheCheckByteAndSetsTheReaderUpAfterARestart) {
  ReaderDevice device;
  device.InsertCard(DualProtocolCard());
  ASSERT_EQ(GetReaderStatus(device.Device()), STATUS_SUCCESS);
  const UCHAR sequence = device.Context().SequenceByte;
  device.ClearTrace();
  EXPECT_EQ(device.Control(IOCTL_VENDOR_PASS_THROUGH, Bytes{0x12, 0x40, 0x02, 0x00, 0xF5, 0x77}, 7).status,
            STATUS_BUFFER_TOO_SMALL);
  // 00 F5 restarts the reader; the application's check byte 77 is replaced by 12^40^02^00^F5 = A5.
  const kernel::IoResult result =
      device.Control(IOCTL_VENDOR_PASS_THROUGH, Bytes{0x12, 0x40, 0x02, 0x00, 0xF5, 0x77}, 8);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.output, NewFrame({0x00, 0xF5, 0x90, 0x00}, 0x40));
  const Bytes restart = {0x12, 0x40, 0x02, 0x00, 0xF5, 0xA5};
  EXPECT_EQ(device.Written(), (std::vector<Bytes>{restart, restart, NewFrame({0x01, 0xD0}, sequence),
                                                  NewFrame({0x01, 0x41}, sequence ^ 0x40)}));
  // The frame's control byte is the application's; the set-up sequence moved the sequence byte twice.
  EXPECT_EQ(device.Context().SequenceByte, sequence);
  EXPECT_EQ(device.Reader().StatusByte() & 0x20, 0x20);
}

// APDU GET CHALLENGE for 4 bytes (ISO/IEC 7816-4 clause 11.5.6) in a type 0x51 frame.
const Bytes OldT1Frame = {0x51, 0x00, 0x00, 0x05, 0x00, 0x84, 0x00, 0x00, 0x04};

// An old reader runs a card frame on its own; the driver polls its transfer
// state (0xD2) until the answer waits, then fetches it (0xD3).
TEST(PassThrough, CollectsTheAnswerToAnOldGenerationCardFrame) {
  const Bytes status = {0x10, 0x00, 0x00, 0x02, 0x01, 0xD2};
  const struct {
    const char* what;
    std::uint32_t busyPolls;
    bool refused;
    NTSTATUS status;
    std::vector<Bytes> written;  // after the card frame
  } cases[] = {
      {"busy for two polls", 2, false, STATUS_SUCCESS, {status, status, status, {0x10, 0x00, 0x00, 0x02, 0x01, 0xD3}}},
      {"refused: the state reads 3", 0, true, STATUS_IO_DEVICE_ERROR, {status}},
  };
  for (const auto& c : cases) {
    emu::ReaderConfig config = ReaderWithFirmware("1.50");
    config.transferBusyPolls = c.busyPolls;
    ReaderDevice device(config);
    device.InsertCard(DualProtocolCard());
    ASSERT_EQ(GetAtr(device.Device()), STATUS_SUCCESS);  // powers the card
    if (c.refused) device.Reader().ScriptFault(emu::ReplyFault::ErrorReply());
    device.ClearTrace();
    const kernel::IoResult result = device.Control(IOCTL_VENDOR_PASS_THROUGH, OldT1Frame, 512);
    EXPECT_EQ(result.status, c.status) << c.what;
    std::vector<Bytes> written{OldT1Frame};
    written.insert(written.end(), c.written.begin(), c.written.end());
    EXPECT_EQ(device.Written(), written) << c.what;
    if (c.status != STATUS_SUCCESS) continue;
    // The transfer states reported: 0, 1, 2; then the answer: four challenge bytes and 90 00.
    const std::vector<emu::FrameRecord> replies = device.Reader().RepliesSent();
    ASSERT_EQ(replies.size(), 5u);
    EXPECT_EQ((Bytes{replies[1].bytes[6], replies[2].bytes[6], replies[3].bytes[6]}), (Bytes{0, 1, 2}));
    EXPECT_EQ(result.output, replies[4].bytes);
    ASSERT_EQ(result.output.size(), 10u);
    EXPECT_EQ(Bytes(result.output.end() - 2, result.output.end()), (Bytes{0x90, 0x00}));
  }
}

TEST(PassThrough, BoundsTheOldGenerationStatusPollAndCarriesTheLongestFrames) {
  emu::ReaderConfig config = ReaderWithFirmware("1.50");
  config.timing.usbLatency = 100 * Ms;      // few polls, in simulated time all the same
  config.transferBusyTime = 3600'000 * Ms;  // the card never answers
  ReaderDevice device(config);
  device.InsertCard(DualProtocolCard());
  ASSERT_EQ(GetAtr(device.Device()), STATUS_SUCCESS);
  const LONGLONG before = kernel::Now();
  kernel::IoResult result = device.Control(IOCTL_VENDOR_PASS_THROUGH, OldT1Frame, 512);
  EXPECT_EQ(result.status, STATUS_IO_TIMEOUT);
  EXPECT_EQ(result.information, 0u);
  EXPECT_GT(kernel::Now() - before, TransferResultTimeLimit);
  EXPECT_LT(kernel::Now() - before, TransferResultTimeLimit + 1'000 * Ms);
  EXPECT_EQ(device.Context().ReaderLock.Owner, nullptr);

  // A card frame of 0x10020 bytes and a reader command of 250 go out whole.
  for (const Bytes& frame : {emu::BuildOldFrame(0x51, Bytes(PassThroughCardFrameMax - 4, 0x00)),
                             emu::BuildOldFrame(0x10, Bytes(246, 0x01))}) {
    device.ClearTrace();
    device.Control(IOCTL_VENDOR_PASS_THROUGH, frame, PassThroughCardFrameMax);
    ASSERT_FALSE(device.Written().empty());
    EXPECT_EQ(device.Written()[0], frame);
  }
}

TEST(ResetPortIfDisabled, ResetsOnlyAPortConnectedButNotEnabled) {
  ReaderDevice device;
  using Kind = usb::TraceEntry::Kind;
  auto portRequests = [&device] {
    std::vector<Kind> kinds;
    for (const usb::TraceEntry& entry : device.Port().Trace()) {
      if (entry.kind == Kind::PortStatus || entry.kind == Kind::PortReset) kinds.push_back(entry.kind);
    }
    return kinds;
  };
  const struct {
    const char* what;
    void (*arrange)(ReaderDevice&);
    std::vector<Kind> requests;
    std::uint32_t resets;
  } cases[] = {
      {"enabled", [](ReaderDevice&) {}, {Kind::PortStatus}, 0},
      {"disabled", [](ReaderDevice& d) { d.Reader().DisablePort(); }, {Kind::PortStatus, Kind::PortReset}, 1},
      {"unplugged", [](ReaderDevice& d) { d.Port().Unplug(); }, {Kind::PortStatus}, 1},
  };
  for (const auto& c : cases) {
    c.arrange(device);
    device.ClearTrace();
    EXPECT_EQ(device.Control(IOCTL_VENDOR_RESET_PORT, NoInput, 0).status, STATUS_SUCCESS) << c.what;
    EXPECT_EQ(portRequests(), c.requests) << c.what;
    EXPECT_EQ(device.Reader().Counters().portResets, c.resets) << c.what;
  }
}

TEST(ResetPortIfDisabled, ReturnsAFailedPortStatusRequest) {
  ReaderDevice device;
  device.Reader().DisablePort();
  kernel::faults::FailNext("IoBuildDeviceIoControlRequest", STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(ResetPortIfDisabled(device.Device()), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(device.Reader().Counters().portResets, 0u);
  kernel::faults::Clear();
}

}  // namespace
