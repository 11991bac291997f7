// The driver's own control codes, sent as an application sends them: a
// buffered control request at the top of the device's stack.
#include <gtest/gtest.h>

#include <cstring>

#include "emulator/reader/frame.h"
#include "driver/models/model.h"
#include "driver/reader/reader_commands.h"
#include "driver/reader/vendor_ioctl.h"
#include "tests/fixture/reader_device.h"

namespace {

using readertest::Bytes;
using readertest::DualProtocolCard;
using readertest::ReaderDevice;
using readertest::ReaderWithFirmware;

const Bytes NoInput;

Bytes NewCommand(UCHAR sequence, const Bytes& information) {
  return emu::BuildNewFrame(0x12, sequence, information);
}

TEST(VendorIoctl, ReturnsTheVersionBlock) {
  ReaderDevice device(ReaderWithFirmware("2.27"));
  device.ClearTrace();
  const kernel::IoResult result = device.Control(IOCTL_VENDOR_GET_VERSION, NoInput, 8);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  ASSERT_EQ(result.information, 8u);
  // Version 0x150 little-endian, the driver's version 2.27 or 2.28, the firmware's 2.27.
  const UCHAR driverMinor = std::strcmp(ModelIdentity.DeliverableName, "Kt2210p") == 0 ? 0x1B : 0x1C;
  EXPECT_EQ(ModelIdentity.DriverVersionMinor, driverMinor);
  EXPECT_EQ(result.output, (Bytes{0x50, 0x01, 0x00, 0x00, 0x02, driverMinor, 0x02, 0x27}));
  EXPECT_EQ(device.Written().size(), 1u);  // the firmware version was read afresh
}

TEST(VendorIoctl, RefusesWhatItCannotServe) {
  ReaderDevice device;
  device.ClearTrace();
  const struct {
    const char* what;
    ULONG code;
    Bytes input;
    ULONG output;
    NTSTATUS status;
  } cases[] = {
      {"unknown code", SCARD_CTL_CODE(2057), {}, 8, STATUS_INVALID_DEVICE_REQUEST},
      {"standard code", IOCTL_SMARTCARD_POWER, {}, 8, STATUS_INVALID_DEVICE_REQUEST},
      {"version, 7 bytes of output", IOCTL_VENDOR_GET_VERSION, {}, 7, STATUS_INVALID_PARAMETER},
      {"version, no buffer", IOCTL_VENDOR_GET_VERSION, {}, 0, STATUS_INVALID_PARAMETER},
      {"eject, 1 byte of output", IOCTL_VENDOR_EJECT, {}, 1, STATUS_INVALID_PARAMETER},
      {"0xB0 without its parameter byte", IOCTL_VENDOR_COMMAND_B0, {}, 2, STATUS_INVALID_PARAMETER},
      {"0xD8 without its parameter byte", IOCTL_VENDOR_COMMAND_D8, {}, 2, STATUS_INVALID_PARAMETER},
      {"device descriptor, no buffer", IOCTL_VENDOR_GET_DEVICE_DESCRIPTOR, {}, 0, STATUS_INVALID_PARAMETER},
      {"device descriptor, 17 bytes", IOCTL_VENDOR_GET_DEVICE_DESCRIPTOR, {}, 17, STATUS_BUFFER_TOO_SMALL},
      {"configuration descriptor, 8 bytes", IOCTL_VENDOR_GET_CONFIG_DESCRIPTOR, {}, 8, STATUS_BUFFER_TOO_SMALL},
      {"pass-through, no input", IOCTL_VENDOR_PASS_THROUGH, {}, 16, STATUS_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    const kernel::IoResult result = device.Control(c.code, c.input, c.output);
    EXPECT_EQ(result.status, c.status) << c.what;
    EXPECT_EQ(result.information, 0u) << c.what;
  }
  EXPECT_TRUE(device.Written().empty());
  EXPECT_EQ(device.Context().ReaderLock.Owner, nullptr);
}

TEST(VendorIoctl, CopiesTheDescriptorsReadAtStart) {
  ReaderDevice device;
  kernel::IoResult result = device.Control(IOCTL_VENDOR_GET_DEVICE_DESCRIPTOR, NoInput, 18);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 18u);
  EXPECT_EQ(result.output, device.Reader().GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0));

  result = device.Control(IOCTL_VENDOR_GET_CONFIG_DESCRIPTOR, NoInput, 64);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 9u);
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

TEST(VendorIoctl, EjectReturnsTheReadersStatusBytes) {
  ReaderDevice device;
  device.InsertCard(DualProtocolCard());
  DeviceContext& context = device.Context();
  const UCHAR sequence = context.SequenceByte;
  device.ClearTrace();
  kernel::IoResult result = device.Control(IOCTL_VENDOR_EJECT, NoInput, 2);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 2u);
  EXPECT_EQ(result.output, (Bytes{0x90, 0x00}));
  EXPECT_EQ(device.Written(), std::vector<Bytes>{NewCommand(sequence, {0x01, 0x39})});
  EXPECT_EQ(device.Reader().CurrentCard(), nullptr);

  // No card: the reader's error reply 01 39 F4 AD ends with F4 AD.
  result = device.Control(IOCTL_VENDOR_EJECT, NoInput, 2);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.output, (Bytes{0xF4, 0xAD}));
}

TEST(VendorIoctl, ParameterCommandsSendTheApplicationsByte) {
  ReaderDevice device;
  DeviceContext& context = device.Context();
  UCHAR sequence = context.SequenceByte;
  device.ClearTrace();
  kernel::IoResult result = device.Control(IOCTL_VENDOR_COMMAND_B0, Bytes{0x05}, 2);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.output, (Bytes{0x90, 0x00}));
  EXPECT_EQ(context.T1Sequence, 0x50);
  EXPECT_EQ(device.Written(), std::vector<Bytes>{NewCommand(sequence, {0x01, 0xB0, 0x00, 0x05})});

  sequence = context.SequenceByte;
  device.ClearTrace();
  result = device.Control(IOCTL_VENDOR_COMMAND_D8, Bytes{0x07}, 2);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 2u);
  EXPECT_EQ(device.Written(), std::vector<Bytes>{NewCommand(sequence, {0x01, 0xD8, 0x00, 0x07})});
  EXPECT_EQ(device.Reader().CommandD8Parameter(), UCHAR{0x07});
}

TEST(VendorIoctl, OldGenerationStatusBytesEndTheReply) {
  ReaderDevice device(ReaderWithFirmware("1.50"));
  device.ClearTrace();
  const kernel::IoResult result = device.Control(IOCTL_VENDOR_COMMAND_D8, Bytes{0x03}, 2);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.output, (Bytes{0x90, 0x00}));
  EXPECT_EQ(device.Written(), (std::vector<Bytes>{{0x10, 0x00, 0x00, 0x04, 0x01, 0xD8, 0x00, 0x03}}));
}

TEST(VendorIoctl, NeverTakesStatusBytesFromAReplyThatLacksThem) {
  ReaderDevice device;
  device.Reader().SetZeroLengthWhenIdle(true);
  // Two bytes arrive, then nothing: the command ends with STATUS_TIMEOUT.
  device.Reader().ScriptFault(emu::ReplyFault::Truncate(2));
  kernel::IoResult result = device.Control(IOCTL_VENDOR_EJECT, NoInput, 2);
  EXPECT_EQ(result.status, STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(result.information, 0u);

  device.Reader().FailNextBulkOut();
  result = device.Control(IOCTL_VENDOR_COMMAND_B0, Bytes{0x01}, 2);
  EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(result.information, 0u);
}

TEST(ResetPortIfDisabled, ResetsOnlyAPortConnectedButNotEnabled) {
  ReaderDevice device;
  auto portRequests = [&device] {
    std::vector<usb::TraceEntry::Kind> kinds;
    for (const usb::TraceEntry& entry : device.Port().Trace()) {
      if (entry.kind == usb::TraceEntry::Kind::PortStatus || entry.kind == usb::TraceEntry::Kind::PortReset) {
        kinds.push_back(entry.kind);
      }
    }
    return kinds;
  };
  using Kind = usb::TraceEntry::Kind;

  device.ClearTrace();
  kernel::IoResult result = device.Control(IOCTL_VENDOR_RESET_PORT, NoInput, 0);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(portRequests(), std::vector<Kind>{Kind::PortStatus});
  EXPECT_EQ(device.Reader().Counters().portResets, 0u);

  device.Reader().DisablePort();
  device.ClearTrace();
  result = device.Control(IOCTL_VENDOR_RESET_PORT, NoInput, 0);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(portRequests(), (std::vector<Kind>{Kind::PortStatus, Kind::PortReset}));
  EXPECT_EQ(device.Reader().Counters().portResets, 1u);
  EXPECT_EQ(GetReaderStatus(device.Device()), STATUS_SUCCESS);  // the reader answers again

  device.Port().Unplug();
  device.ClearTrace();
  result = device.Control(IOCTL_VENDOR_RESET_PORT, NoInput, 0);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(portRequests(), std::vector<Kind>{Kind::PortStatus});
  EXPECT_EQ(device.Reader().Counters().portResets, 1u);
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
