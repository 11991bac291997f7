// A hub port's URB and internal requests: every request is checked and
// traced here, and its carrier carries it to the device.
#include <algorithm>

#include "platform/kernel/platform.h"
#include "platform/usb/port_core.h"

namespace usb {
namespace {

NTSTATUS GetDescriptor(PortCore& port, PURB urb) {
  _URB_CONTROL_DESCRIPTOR_REQUEST& request = urb->UrbControlDescriptorRequest;
  if (request.TransferBuffer == nullptr || request.TransferBufferLength == 0) {
    request.Hdr.Status = USBD_STATUS_INVALID_PARAMETER;
    return STATUS_INVALID_PARAMETER;
  }
  const ULONG asked = request.TransferBufferLength;
  std::vector<std::uint8_t> descriptor;
  Outcome outcome = port.carrier->ReadDescriptor(request.DescriptorType, request.Index, asked, &descriptor);
  // The device sends at most what the host asked for (USB 2.0 clause 9.3.5, wLength).
  if (descriptor.size() > asked) descriptor.resize(asked);
  if (NT_SUCCESS(outcome.status) && descriptor.empty()) outcome = {STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
  if (!NT_SUCCESS(outcome.status)) descriptor.clear();
  if (!descriptor.empty()) RtlCopyMemory(request.TransferBuffer, descriptor.data(), descriptor.size());
  request.TransferBufferLength = static_cast<ULONG>(descriptor.size());
  request.Hdr.Status = outcome.usbdStatus;
  std::lock_guard<std::mutex> guard(port.lock);
  port.TraceLocked({TraceEntry::Kind::GetDescriptor, NowTime(), request.DescriptorType, std::move(descriptor), asked,
                    outcome.status});
  return outcome.status;
}

NTSTATUS SelectConfiguration(PortCore& port, PURB urb) {
  _URB_SELECT_CONFIGURATION& select = urb->UrbSelectConfiguration;
  PUSB_CONFIGURATION_DESCRIPTOR configuration = select.ConfigurationDescriptor;
  if (configuration == nullptr) {
    const Outcome outcome = port.carrier->SetConfiguration(0);
    std::lock_guard<std::mutex> guard(port.lock);
    if (NT_SUCCESS(outcome.status)) {
      port.configurationValue = 0;
      port.pipes.clear();
    }
    port.TraceLocked({TraceEntry::Kind::Unconfigure, NowTime(), 0, {}, 0, outcome.status});
    select.Hdr.Status = outcome.usbdStatus;
    return outcome.status;
  }
  auto refuse = [&](USBD_STATUS usbd) {
    select.Hdr.Status = usbd;
    std::lock_guard<std::mutex> guard(port.lock);
    port.TraceLocked({TraceEntry::Kind::SelectConfiguration, NowTime(), 0, {}, 0, STATUS_INVALID_PARAMETER});
    return STATUS_INVALID_PARAMETER;
  };
  USBD_INTERFACE_INFORMATION& info = select.Interface;
  const ULONG headerSize = static_cast<ULONG>(offsetof(_URB_SELECT_CONFIGURATION, Interface));
  if (configuration->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
      configuration->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
      select.Hdr.Length < headerSize + GET_USBD_INTERFACE_SIZE(0) || info.NumberOfPipes > 32 ||
      info.Length != GET_USBD_INTERFACE_SIZE(info.NumberOfPipes) || select.Hdr.Length < headerSize + info.Length) {
    return refuse(USBD_STATUS_INVALID_PARAMETER);
  }
  PUSB_INTERFACE_DESCRIPTOR interface = USBD_ParseConfigurationDescriptorEx(
      configuration, configuration, info.InterfaceNumber, info.AlternateSetting, -1, -1, -1);
  if (interface == nullptr || interface->bNumEndpoints != info.NumberOfPipes) {
    return refuse(USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR);
  }
  // The endpoint descriptors follow their interface descriptor (USB 2.0 clause 9.4.3).
  std::vector<std::unique_ptr<PipeRecord>> pipes;
  auto base = reinterpret_cast<const UCHAR*>(configuration);
  const UCHAR* end = base + configuration->wTotalLength;
  const UCHAR* p = reinterpret_cast<const UCHAR*>(interface);
  p += p[0];
  while (pipes.size() < info.NumberOfPipes && p + 2 <= end && p[0] >= 2 && p + p[0] <= end) {
    if (p[1] == USB_INTERFACE_DESCRIPTOR_TYPE) break;
    if (p[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && p[0] >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
      auto endpoint = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(p);
      const std::size_t i = pipes.size();
      pipes.push_back(std::make_unique<PipeRecord>(
          PipeRecord{endpoint->bEndpointAddress, (endpoint->bEndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0,
                     static_cast<USBD_PIPE_TYPE>(endpoint->bmAttributes & USB_ENDPOINT_TYPE_MASK)}));
      USBD_PIPE_INFORMATION& pipe = info.Pipes[i];
      pipe.MaximumPacketSize = endpoint->wMaxPacketSize;
      pipe.EndpointAddress = endpoint->bEndpointAddress;
      pipe.Interval = endpoint->bInterval;
      pipe.PipeType = pipes.back()->type;
      pipe.PipeHandle = pipes.back().get();
    }
    p += p[0];
  }
  if (pipes.size() != info.NumberOfPipes) return refuse(USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR);
  const Outcome outcome = port.carrier->SetConfiguration(configuration->bConfigurationValue);
  select.Hdr.Status = outcome.usbdStatus;
  std::lock_guard<std::mutex> guard(port.lock);
  port.TraceLocked(
      {TraceEntry::Kind::SelectConfiguration, NowTime(), configuration->bConfigurationValue, {}, 0, outcome.status});
  if (!NT_SUCCESS(outcome.status)) return outcome.status;
  info.Class = interface->bInterfaceClass;
  info.SubClass = interface->bInterfaceSubClass;
  info.Protocol = interface->bInterfaceProtocol;
  info.InterfaceHandle = &port.pipes;
  select.ConfigurationHandle = &port.configurationValue;
  port.configurationValue = configuration->bConfigurationValue;
  port.pipes = std::move(pipes);
  return STATUS_SUCCESS;
}

NTSTATUS AbortPipe(PortCore& port, PURB urb) {
  _URB_PIPE_REQUEST& request = urb->UrbPipeRequest;
  UCHAR endpoint = 0;
  {
    std::lock_guard<std::mutex> guard(port.lock);
    PipeRecord* pipe = port.FindPipeLocked(request.PipeHandle);
    if (pipe == nullptr) {
      request.Hdr.Status = USBD_STATUS_INVALID_PIPE_HANDLE;
      port.TraceLocked({TraceEntry::Kind::AbortPipe, NowTime(), 0, {}, 0, STATUS_INVALID_PARAMETER});
      return STATUS_INVALID_PARAMETER;
    }
    endpoint = pipe->endpoint;
  }
  port.carrier->CancelTransfers(endpoint, STATUS_CANCELLED, USBD_STATUS_CANCELED);
  port.carrier->AbortEndpoint(endpoint);
  request.Hdr.Status = USBD_STATUS_SUCCESS;
  std::lock_guard<std::mutex> guard(port.lock);
  port.TraceLocked({TraceEntry::Kind::AbortPipe, NowTime(), endpoint, {}, 0, STATUS_SUCCESS});
  return STATUS_SUCCESS;
}

NTSTATUS ServeUrb(PortCore& port, PURB urb) {
  NTSTATUS status;
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      status = GetDescriptor(port, urb);
      break;
    case URB_FUNCTION_SELECT_CONFIGURATION:
      status = SelectConfiguration(port, urb);
      break;
    case URB_FUNCTION_ABORT_PIPE:
      status = AbortPipe(port, urb);
      break;
    default:
      urb->UrbHeader.Status = USBD_STATUS_INVALID_URB_FUNCTION;
      status = STATUS_NOT_SUPPORTED;
      break;
  }
  return status;
}

NTSTATUS SubmitUrb(PortCore& port, PIRP irp, PURB urb) {
  if (urb == nullptr) return CompleteIrp(irp, STATUS_INVALID_PARAMETER);
  if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) return SubmitBulkTransfer(port, irp, urb);
  bool plugged;
  std::shared_ptr<Capture> capture;
  UCHAR endpoint = 0;
  {
    std::lock_guard<std::mutex> guard(port.lock);
    plugged = port.plugged;
    if (port.capture) {
      capture = port.capture;
      if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
        const PipeRecord* pipe = port.FindPipeLocked(urb->UrbPipeRequest.PipeHandle);
        if (pipe != nullptr) endpoint = pipe->endpoint;
      }
    }
  }
  if (capture) capture->Submitted(irp, *urb, endpoint);
  NTSTATUS status;
  if (!plugged) {
    urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
    status = STATUS_DEVICE_NOT_CONNECTED;
  } else {
    status = ServeUrb(port, urb);
  }
  if (capture) capture->Completed(irp, *urb, endpoint);
  return CompleteIrp(irp, status);
}

NTSTATUS PortStatusOrReset(PortCore& port, PIRP irp, ULONG code) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  bool plugged;
  PortStatus portStatus{};
  {
    std::lock_guard<std::mutex> guard(port.lock);
    plugged = port.plugged;
  }
  if (plugged) portStatus = port.carrier->GetPortStatus();
  NTSTATUS status = STATUS_SUCCESS;
  if (code == IOCTL_INTERNAL_USB_GET_PORT_STATUS) {
    auto word = static_cast<PULONG>(location->Parameters.Others.Argument1);
    if (word == nullptr) {
      status = STATUS_INVALID_PARAMETER;
    } else {
      *word = (plugged && portStatus.connected ? USBD_PORT_CONNECTED : 0) |
              (plugged && portStatus.enabled ? USBD_PORT_ENABLED : 0);
    }
  } else if (!plugged) {
    status = STATUS_DEVICE_NOT_CONNECTED;
  } else {
    UCHAR configuration;
    {
      std::lock_guard<std::mutex> guard(port.lock);
      configuration = port.configurationValue;
    }
    status = port.carrier->ResetPort(configuration).status;
  }
  {
    std::lock_guard<std::mutex> guard(port.lock);
    port.TraceLocked(
        {code == IOCTL_INTERNAL_USB_GET_PORT_STATUS ? TraceEntry::Kind::PortStatus : TraceEntry::Kind::PortReset,
         NowTime(),
         0,
         {},
         0,
         status});
  }
  return CompleteIrp(irp, status);
}

}  // namespace

PipeRecord* PortCore::FindPipeLocked(USBD_PIPE_HANDLE handle) const {
  for (const auto& pipe : pipes) {
    if (pipe.get() == handle) return pipe.get();
  }
  return nullptr;
}

NTSTATUS DispatchInternalDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  PortCore& port = PortOf(device);
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  const ULONG code = location->Parameters.DeviceIoControl.IoControlCode;
  switch (code) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
      return SubmitUrb(port, irp, static_cast<PURB>(location->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
    case IOCTL_INTERNAL_USB_RESET_PORT:
      return PortStatusOrReset(port, irp, code);
    default:
      return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

}  // namespace usb
