// A function driver's requests to the emulated port, made the way the driver
// makes them: a URB in an internal device-control request.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "emulator/reader/descriptors.h"
#include "emulator/reader/reader.h"
#include "platform/kernel/platform.h"
#include "platform/usb/emulated_port.h"

namespace usbtest {

using Bytes = std::vector<UCHAR>;

// The request for `urb`, sent; `event` and `iosb` tell when and how it ended.
inline PIRP SubmitAsync(PDEVICE_OBJECT pdo, URB& urb, KEVENT& event, IO_STATUS_BLOCK& iosb) {
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp =
      IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
  if (IoCallDriver(pdo, irp) != STATUS_PENDING) KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  return irp;
}

inline NTSTATUS Submit(PDEVICE_OBJECT pdo, URB& urb) {
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
    PURB select = USBD_CreateConfigurationRequest(Descriptor(), &size);
    EXPECT_EQ(Submit(port.PhysicalDeviceObject(), *select), STATUS_SUCCESS);
    const USBD_INTERFACE_INFORMATION& info = select->UrbSelectConfiguration.Interface;
    for (ULONG i = 0; i < info.NumberOfPipes; ++i)
      pipes[(info.Pipes[i].EndpointAddress & 0x80) != 0] = info.Pipes[i].PipeHandle;
    ExFreePool(select);
  }
  PUSB_CONFIGURATION_DESCRIPTOR Descriptor() {
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
  }
  static URB BulkUrb(USBD_PIPE_HANDLE pipe, bool in, Bytes& data, ULONG flags = USBD_SHORT_TRANSFER_OK) {
    URB urb{};
    auto& b = urb.UrbBulkOrInterruptTransfer;
    b.Hdr.Length = sizeof(b);
    b.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    b.PipeHandle = pipe;
    b.TransferFlags = flags | (in ? USBD_TRANSFER_DIRECTION_IN : 0);
    b.TransferBuffer = data.empty() ? nullptr : data.data();
    b.TransferBufferLength = static_cast<ULONG>(data.size());
    return urb;
  }
  // A bulk transfer on the pipe of its direction; an IN one keeps what arrived.
  NTSTATUS Bulk(bool in, Bytes& data, ULONG flags = USBD_SHORT_TRANSFER_OK) {
    URB urb = BulkUrb(pipes[in], in, data, flags);
    const NTSTATUS status = Submit(port.PhysicalDeviceObject(), urb);
    usbdStatus = urb.UrbHeader.Status;
    data.resize(urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
    return status;
  }

  std::shared_ptr<emu::Reader> reader;
  usb::EmulatedPort port;
  Bytes configuration;
  USBD_PIPE_HANDLE pipes[2] = {};  // OUT, IN
  USBD_STATUS usbdStatus = 0;
};

}  // namespace usbtest
