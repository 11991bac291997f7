// Bulk transfers through the emulated port to the emulated reader, made the
// way the driver makes them (a URB in an internal device-control request):
// hostile answers and requests, and the cancellation that meets a reply.
// (Hostile descriptors are the driver's usb_configuration_test; failed
// transfers reach the driver's reader command tests.)
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "emulator/reader/descriptors.h"
#include "emulator/reader/reader.h"
#include "platform/kernel/platform.h"
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

// The reader on the emulated port, configured: its pipes selected.
struct Client {
  explicit Client(emu::ReaderConfig config = {}) : reader(std::make_shared<emu::Reader>(config)), port(reader) {
    configuration = emu::BuildConfigurationDescriptor(reader->Config());
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

}  // namespace
