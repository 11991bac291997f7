// The requests a function driver sends to the emulated port, made the way the
// driver makes them: a URB in an internal device-control request, waited for.
#pragma once

#include <memory>
#include <vector>

#include "emulator/reader/reader.h"
#include "platform/kernel/platform.h"
#include "platform/usb/emulated_port.h"

namespace usbtest {

inline NTSTATUS SendInternal(PDEVICE_OBJECT pdo, ULONG code, PVOID argument) {
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(code, pdo, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument;
  NTSTATUS status = IoCallDriver(pdo, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  return status;
}

inline NTSTATUS SubmitUrb(PDEVICE_OBJECT pdo, URB& urb) {
  return SendInternal(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb);
}

class Client {
 public:
  explicit Client(emu::ReaderConfig config = {})
      : reader(std::make_shared<emu::Reader>(config)), port(reader) {}

  NTSTATUS ReadDescriptor(UCHAR type, std::vector<UCHAR>& buffer) {
    URB urb{};
    auto& r = urb.UrbControlDescriptorRequest;
    r.Hdr.Length = sizeof(r);
    r.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    r.TransferBuffer = buffer.data();
    r.TransferBufferLength = static_cast<ULONG>(buffer.size());
    r.DescriptorType = type;
    const NTSTATUS status = SubmitUrb(port.PhysicalDeviceObject(), urb);
    buffer.resize(r.TransferBufferLength);
    return status;
  }

  // Reads the whole configuration and selects its first interface.
  NTSTATUS Configure() {
    std::vector<UCHAR> header(9);
    ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, header);
    configuration.resize(reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR*>(header.data())->wTotalLength);
    ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, configuration);
    USHORT size = 0;
    auto config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
    PURB urb = USBD_CreateConfigurationRequest(config, &size);
    if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    const NTSTATUS status = SubmitUrb(port.PhysicalDeviceObject(), *urb);
    const USBD_INTERFACE_INFORMATION& info = urb->UrbSelectConfiguration.Interface;
    pipes.assign(info.Pipes, info.Pipes + info.NumberOfPipes);
    ExFreePool(urb);
    return status;
  }

  USBD_PIPE_HANDLE Pipe(bool in) const {
    for (const auto& p : pipes) {
      if (((p.EndpointAddress & 0x80) != 0) == in) return p.PipeHandle;
    }
    return nullptr;
  }

  NTSTATUS Bulk(bool in, std::vector<UCHAR>& data, ULONG flags = USBD_SHORT_TRANSFER_OK) {
    URB urb{};
    auto& b = urb.UrbBulkOrInterruptTransfer;
    b.Hdr.Length = sizeof(b);
    b.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    b.PipeHandle = Pipe(in);
    b.TransferFlags = flags | (in ? USBD_TRANSFER_DIRECTION_IN : 0);
    b.TransferBuffer = data.empty() ? nullptr : data.data();
    b.TransferBufferLength = static_cast<ULONG>(data.size());
    const NTSTATUS status = SubmitUrb(port.PhysicalDeviceObject(), urb);
    lastUsbdStatus = b.Hdr.Status;
    if (in) data.resize(b.TransferBufferLength);
    return status;
  }

  NTSTATUS Write(std::vector<UCHAR> frame) { return Bulk(false, frame); }
  std::vector<UCHAR> Read(ULONG length, NTSTATUS* status = nullptr) {
    std::vector<UCHAR> data(length);
    const NTSTATUS s = Bulk(true, data);
    if (status != nullptr) *status = s;
    return data;
  }

  std::shared_ptr<emu::Reader> reader;
  usb::EmulatedPort port;
  std::vector<UCHAR> configuration;
  std::vector<USBD_PIPE_INFORMATION> pipes;
  USBD_STATUS lastUsbdStatus = 0;
};

}  // namespace usbtest
