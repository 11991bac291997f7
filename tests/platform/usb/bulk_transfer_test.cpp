// Bulk transfers through the emulated port to the emulated reader, made the
// way the driver makes them (a URB in an internal device-control request):
// hostile answers and requests, and the cancellation that meets a reply.
// (Hostile descriptors are the driver's usb_configuration_test; failed
// transfers reach the driver's reader command tests.)
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "emulator/reader/descriptors.h"
#include "emulator/reader/reader.h"
#include "platform/kernel/platform.h"
#include "platform/usb/capture.h"
#include "platform/usb/emulated_port.h"

namespace {

using kernel::kSecond;

using Bytes = std::vector<UCHAR>;

// The request for `urb`, sent; `event` and `iosb` tell when and how it ended.
PIRP SubmitAsync(PDEVICE_OBJECT pdo, URB& urb, KEVENT& event, IO_STATUS_BLOCK& iosb) {
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp =
      IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
  if (IoCallDriver(pdo, irp) != STATUS_PENDING) KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  return irp;
}

NTSTATUS Submit(PDEVICE_OBJECT pdo, URB& urb) {
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  SubmitAsync(pdo, urb, event, iosb);
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  return iosb.Status;
}

// The reader on the emulated port, configured: its pipes selected. With a
// capture, the descriptors are read first, as a function driver's start does.
struct Client {
  explicit Client(emu::ReaderConfig config = {}, std::shared_ptr<usb::Capture> capture = nullptr)
      : reader(std::make_shared<emu::Reader>(config)), port(reader) {
    configuration = emu::BuildConfigurationDescriptor(reader->Config());
    port.SetCapture(capture);
    for (UCHAR type : {USB_DEVICE_DESCRIPTOR_TYPE, USB_CONFIGURATION_DESCRIPTOR_TYPE}) {
      if (!capture) break;
      URB urb{};
      Bytes descriptor(255);
      auto& d = urb.UrbControlDescriptorRequest;
      d.Hdr.Length = sizeof(d);
      d.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
      d.DescriptorType = type;
      d.TransferBuffer = descriptor.data();
      d.TransferBufferLength = 255;
      EXPECT_EQ(Submit(port.PhysicalDeviceObject(), urb), STATUS_SUCCESS);
    }
    USHORT size = 0;
    PURB select =
        USBD_CreateConfigurationRequest(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data()), &size);
    EXPECT_EQ(Submit(port.PhysicalDeviceObject(), *select), STATUS_SUCCESS);
    const USBD_INTERFACE_INFORMATION& info = select->UrbSelectConfiguration.Interface;
    for (ULONG i = 0; i < info.NumberOfPipes; ++i)
      pipes[(info.Pipes[i].EndpointAddress & 0x80) != 0] = info.Pipes[i].PipeHandle;
    ExFreePool(select);
  }
  static URB BulkUrb(USBD_PIPE_HANDLE pipe, bool in, UCHAR* data, ULONG length) {
    URB urb{};
    auto& b = urb.UrbBulkOrInterruptTransfer;
    b.Hdr.Length = sizeof(b);
    b.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    b.PipeHandle = pipe;
    b.TransferFlags = USBD_SHORT_TRANSFER_OK | (in ? USBD_TRANSFER_DIRECTION_IN : 0);
    b.TransferBuffer = data;
    b.TransferBufferLength = length;
    return urb;
  }
  NTSTATUS Write(Bytes data) {
    URB urb = BulkUrb(pipes[0], false, data.data(), static_cast<ULONG>(data.size()));
    return Submit(port.PhysicalDeviceObject(), urb);
  }
  Bytes Read(ULONG length) {
    Bytes data(length);
    URB urb = BulkUrb(pipes[1], true, data.data(), length);
    EXPECT_EQ(Submit(port.PhysicalDeviceObject(), urb), STATUS_SUCCESS);
    data.resize(urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
    return data;
  }

  std::shared_ptr<emu::Reader> reader;
  usb::EmulatedPort port;
  Bytes configuration;
  USBD_PIPE_HANDLE pipes[2] = {};  // OUT, IN
};

// GetReaderStatus with sequence byte 0x00: 12 00 02 01 31 and the XOR check byte 0x20.
const Bytes kStatusCommand = {0x12, 0x00, 0x02, 0x01, 0x31, 0x20};

emu::ReaderConfig Instant() {
  emu::ReaderConfig config;
  config.timing = emu::TimingModel::Instant();
  return config;
}

TEST(BulkTransferTest, HostileAnswersAndRequestsEndWithTheRightStatus) {
  const struct {
    const char* what;
    void (*arrange)(Client&, URB&);
    ULONG readLength;
    NTSTATUS status;
    USBD_STATUS usbd;
    ULONG moved;
  } rows[] = {
      // clang-format off
      // An old-generation header announcing 128 KiB: the port never writes past the buffer.
      {"reply longer than the buffer", [](Client& c, URB&) { c.reader->ScriptFault(emu::ReplyFault::Oversized()); },
       64, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 64},
      {"IN flag on the OUT pipe", [](Client& c, URB& u) { u.UrbBulkOrInterruptTransfer.PipeHandle = c.pipes[0]; },
       256, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, 0},
      {"no buffer", [](Client&, URB& u) { u.UrbBulkOrInterruptTransfer.TransferBuffer = nullptr; },
       256, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, 0},
      // clang-format on
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    kernel::Platform platform{kernel::ClockMode::Simulated};
    Client client(Instant());
    auto buffer = std::make_unique<UCHAR[]>(row.readLength);  // exact size: the sanitizers see any overrun
    URB urb = Client::BulkUrb(client.pipes[1], true, buffer.get(), row.readLength);
    row.arrange(client, urb);
    client.Write(kStatusCommand);
    EXPECT_EQ(Submit(client.port.PhysicalDeviceObject(), urb), row.status);
    EXPECT_EQ(urb.UrbHeader.Status, row.usbd);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, row.moved);
  }
}

// The reply becomes ready at the very instant the driver's 7 s bound cancels
// the read: the port's timer and the cancellation meet. Whichever wins ends
// the transfer, exactly once (the timer once looked at a transfer the
// cancellation had already freed).
TEST(BulkTransferTest, ReadReadyAtTheInstantItIsCancelledEndsOnce) {
  for (int round = 0; round < 200; ++round) {
    kernel::Platform platform{kernel::ClockMode::Simulated};
    Client client;
    client.reader->ScriptFault(emu::ReplyFault::Delay(7 * kSecond));
    ASSERT_EQ(client.Write(kStatusCommand), STATUS_SUCCESS);
    Bytes buffer(256);
    URB urb = Client::BulkUrb(client.pipes[1], true, buffer.data(), 256);
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    PIRP irp = SubmitAsync(client.port.PhysicalDeviceObject(), urb, event, iosb);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -7 * kSecond;
    if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
      KIRQL old;
      KeRaiseIrql(APC_LEVEL, &old);
      if (KeReadStateEvent(&event) == 0) IoCancelIrp(irp);
      KeLowerIrql(old);
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    ASSERT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, iosb.Status == STATUS_SUCCESS ? 7u : 0u) << round;
    ASSERT_TRUE(iosb.Status == STATUS_SUCCESS || iosb.Status == STATUS_CANCELLED) << round;
    ASSERT_EQ(client.port.ParkedTransfers(), 0u) << round;
    ASSERT_EQ(kernel::pool::LiveBlocks(PoolTag("UsbT")), 0u) << round;
  }
}

// A capture at the port, read back as Wireshark reads USBPcap's: each URB
// as it went down (OUT data, a setup packet) and as it came back (IN data),
// with the reply whose check byte the reader got wrong, the reply it split
// and its error reply as they crossed; whole while the port is idle, with the capture
// still open. READER_CAPTURE keeps it in that file for the decoding test.
TEST(BulkTransferTest, CaptureHoldsEachUrbAsItWentDownAndCameBack) {
  kernel::Platform platform{kernel::ClockMode::Simulated};
  const char* keep = std::getenv("READER_CAPTURE");
  const std::string path = keep != nullptr ? keep : ::testing::TempDir() + "bulk_transfer.pcapng";
  std::string error;
  std::shared_ptr<usb::Capture> capture = usb::Capture::Open(path, &error);
  ASSERT_TRUE(capture) << error;
  Client client(Instant(), capture);
  client.reader->ScriptFault(emu::ReplyFault::BadCheckByte());
  client.Write(kStatusCommand);
  const Bytes bad = client.Read(256);
  client.reader->ScriptFault(emu::ReplyFault::Split({4}));
  client.Write({0x12, 0x40, 0x02, 0x01, 0x31, 0x60});
  const Bytes start = client.Read(256), rest = client.Read(256);
  client.reader->ScriptFault(emu::ReplyFault::ErrorReply());
  client.Write(kStatusCommand);
  const Bytes refusal = client.Read(256);
  // direction (1: to the host), endpoint, transfer type, control stage (-1: none), data.
  struct Record {
    UCHAR info, endpoint, transfer;
    int stage;
    Bytes data;
  };
  const std::vector<Record> expected = {
      {0, 0x80, 2, 0, {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0xFF, 0x00}},  // GET_DESCRIPTOR device, 255 bytes
      {1, 0x80, 2, 3, emu::BuildDeviceDescriptor(client.reader->Config())},
      {0, 0x80, 2, 0, {0x80, 0x06, 0x00, 0x02, 0x00, 0x00, 0xFF, 0x00}},
      {1, 0x80, 2, 3, client.configuration},
      {0, 0x00, 2, 0, {0x00, 0x09, client.configuration[5], 0, 0, 0, 0, 0}},  // SET_CONFIGURATION
      {1, 0x00, 2, 3, {}},
      {0, 0x02, 3, -1, kStatusCommand},
      {1, 0x02, 3, -1, {}},
      {0, 0x81, 3, -1, {}},
      {1, 0x81, 3, -1, bad},
      {0, 0x02, 3, -1, {0x12, 0x40, 0x02, 0x01, 0x31, 0x60}},
      {1, 0x02, 3, -1, {}},
      {0, 0x81, 3, -1, {}},
      {1, 0x81, 3, -1, start},
      {0, 0x81, 3, -1, {}},
      {1, 0x81, 3, -1, rest},
      {0, 0x02, 3, -1, kStatusCommand},
      {1, 0x02, 3, -1, {}},
      {0, 0x81, 3, -1, {}},
      {1, 0x81, 3, -1, refusal},
  };
  std::ifstream file(path, std::ios::binary);
  const Bytes bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  auto u32 = [&](std::size_t at) {
    return ULONG{bytes[at]} | ULONG{bytes[at + 1]} << 8 | ULONG{bytes[at + 2]} << 16 | ULONG{bytes[at + 3]} << 24;
  };
  ASSERT_GE(bytes.size(), 60u);
  EXPECT_EQ(u32(28), 1u);                      // interface description
  EXPECT_EQ(bytes[36] | bytes[37] << 8, 249);  // USBPcap
  std::size_t at = 60, n = 0;
  for (; at + 12 <= bytes.size() && n < expected.size(); at += u32(at + 4), ++n) {
    SCOPED_TRACE(n);
    ASSERT_EQ(u32(at), 6u);  // enhanced packet
    const UCHAR* p = &bytes[at + 28];
    const Record& e = expected[n];
    const std::size_t header = e.stage < 0 ? 27 : 28;
    EXPECT_EQ(p[0], header);
    EXPECT_EQ(p[16], e.info);
    EXPECT_EQ(p[21], e.endpoint);
    EXPECT_EQ(p[22], e.transfer);
    if (e.stage >= 0) {
      EXPECT_EQ(p[27], e.stage);
    }
    EXPECT_EQ(Bytes(p + header, p + u32(at + 20)), e.data);
  }
  EXPECT_EQ(n, expected.size());
  EXPECT_EQ(at, bytes.size());
  EXPECT_NE(bad.back(), emu::CheckByte(Bytes(bad.begin(), bad.end() - 1)));
  EXPECT_EQ(start.size(), 4u);
}

}  // namespace
