// The emulated hub port: its physical device object, the requests it serves
// besides bulk transfers, and its life cycle.
#include "platform/usb/emulated_port.h"

#include <cstdio>

#include "platform/kernel/platform.h"
#include "platform/usb/port_state.h"

namespace usb {
namespace {

LONGLONG NowTime() {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  return now.QuadPart;
}

DEVICE_CAPABILITIES DefaultCapabilities() {
  DEVICE_CAPABILITIES c{};
  c.Size = sizeof(DEVICE_CAPABILITIES);
  c.Version = 1;
  c.Removable = 1;
  c.SurpriseRemovalOK = 1;
  c.DeviceD2 = 1;
  c.WakeFromD2 = 1;
  c.DeviceState[PowerSystemWorking] = PowerDeviceD0;
  c.DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
  c.DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
  c.DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
  c.DeviceState[PowerSystemHibernate] = PowerDeviceD3;
  c.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
  c.SystemWake = PowerSystemSleeping3;
  c.DeviceWake = PowerDeviceD2;
  return c;
}

NTSTATUS GetDescriptor(EmulatedPort::State& port, PURB urb) {
  _URB_CONTROL_DESCRIPTOR_REQUEST& request = urb->UrbControlDescriptorRequest;
  if (request.TransferBuffer == nullptr || request.TransferBufferLength == 0) {
    request.Hdr.Status = USBD_STATUS_INVALID_PARAMETER;
    return STATUS_INVALID_PARAMETER;
  }
  const ULONG asked = request.TransferBufferLength;
  std::vector<std::uint8_t> descriptor = port.function->GetDescriptor(request.DescriptorType, request.Index);
  NTSTATUS status = STATUS_SUCCESS;
  if (descriptor.empty()) {
    request.Hdr.Status = USBD_STATUS_STALL_PID;
    request.TransferBufferLength = 0;
    status = STATUS_UNSUCCESSFUL;
  } else {
    // The device sends at most what the host asked for (USB 2.0 clause 9.3.5, wLength).
    if (descriptor.size() > asked) descriptor.resize(asked);
    RtlCopyMemory(request.TransferBuffer, descriptor.data(), descriptor.size());
    request.TransferBufferLength = static_cast<ULONG>(descriptor.size());
    request.Hdr.Status = USBD_STATUS_SUCCESS;
  }
  std::lock_guard<std::mutex> guard(port.lock);
  port.TraceLocked({TraceEntry::Kind::GetDescriptor, NowTime(), request.DescriptorType, std::move(descriptor), asked,
                    status});
  return status;
}

NTSTATUS SelectConfiguration(EmulatedPort::State& port, PURB urb) {
  _URB_SELECT_CONFIGURATION& select = urb->UrbSelectConfiguration;
  PUSB_CONFIGURATION_DESCRIPTOR configuration = select.ConfigurationDescriptor;
  if (configuration == nullptr) {
    port.function->SetConfiguration(0);
    std::lock_guard<std::mutex> guard(port.lock);
    port.configurationValue = 0;
    port.pipes.clear();
    port.TraceLocked({TraceEntry::Kind::Unconfigure, NowTime(), 0, {}, 0, STATUS_SUCCESS});
    select.Hdr.Status = USBD_STATUS_SUCCESS;
    return STATUS_SUCCESS;
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
      select.Hdr.Length < headerSize + UsbdInterfaceInformationSize(0) || info.NumberOfPipes > 32 ||
      info.Length != UsbdInterfaceInformationSize(info.NumberOfPipes) ||
      select.Hdr.Length < headerSize + info.Length) {
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
  info.Class = interface->bInterfaceClass;
  info.SubClass = interface->bInterfaceSubClass;
  info.Protocol = interface->bInterfaceProtocol;
  info.InterfaceHandle = &port.pipes;
  select.ConfigurationHandle = &port.configurationValue;
  select.Hdr.Status = USBD_STATUS_SUCCESS;
  port.function->SetConfiguration(configuration->bConfigurationValue);
  std::lock_guard<std::mutex> guard(port.lock);
  port.configurationValue = configuration->bConfigurationValue;
  port.pipes = std::move(pipes);
  port.TraceLocked({TraceEntry::Kind::SelectConfiguration, NowTime(), configuration->bConfigurationValue, {}, 0,
                    STATUS_SUCCESS});
  return STATUS_SUCCESS;
}

NTSTATUS AbortPipe(EmulatedPort::State& port, PURB urb) {
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
  CancelTransfers(port, endpoint, STATUS_CANCELLED, USBD_STATUS_CANCELED);
  port.function->AbortEndpoint(endpoint);
  request.Hdr.Status = USBD_STATUS_SUCCESS;
  std::lock_guard<std::mutex> guard(port.lock);
  port.TraceLocked({TraceEntry::Kind::AbortPipe, NowTime(), endpoint, {}, 0, STATUS_SUCCESS});
  return STATUS_SUCCESS;
}

NTSTATUS SubmitUrb(EmulatedPort::State& port, PIRP irp, PURB urb) {
  if (urb == nullptr) return CompleteIrp(irp, STATUS_INVALID_PARAMETER);
  if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) return SubmitBulkTransfer(port, irp, urb);
  bool plugged;
  {
    std::lock_guard<std::mutex> guard(port.lock);
    plugged = port.plugged;
  }
  if (!plugged) {
    urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
    return CompleteIrp(irp, STATUS_DEVICE_NOT_CONNECTED);
  }
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
  return CompleteIrp(irp, status);
}

NTSTATUS PortStatusOrReset(EmulatedPort::State& port, PIRP irp, ULONG code) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  bool plugged;
  PortStatus portStatus{};
  {
    std::lock_guard<std::mutex> guard(port.lock);
    plugged = port.plugged;
  }
  if (plugged) portStatus = port.function->GetPortStatus();
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
    port.function->ResetPort();
    // The hub restores the configuration after a reset, as the host stack does.
    UCHAR configuration;
    {
      std::lock_guard<std::mutex> guard(port.lock);
      configuration = port.configurationValue;
    }
    if (configuration != 0) port.function->SetConfiguration(configuration);
  }
  {
    std::lock_guard<std::mutex> guard(port.lock);
    port.TraceLocked({code == IOCTL_INTERNAL_USB_GET_PORT_STATUS ? TraceEntry::Kind::PortStatus
                                                                  : TraceEntry::Kind::PortReset,
                      NowTime(), 0, {}, 0, status});
  }
  return CompleteIrp(irp, status);
}

void CancelWaitWake(PDEVICE_OBJECT device, PIRP irp) {
  EmulatedPort::State& port = PortOf(device);
  {
    std::lock_guard<std::mutex> guard(port.lock);
    if (port.waitWake == irp) port.waitWake = nullptr;
  }
  IoReleaseCancelSpinLock(irp->CancelIrql);
  PoStartNextPowerIrp(irp);
  CompleteIrp(irp, STATUS_CANCELLED);
}

bool EndWaitWake(EmulatedPort::State& port, NTSTATUS status) {
  PIRP irp;
  {
    std::lock_guard<std::mutex> guard(port.lock);
    irp = port.waitWake;
    if (irp == nullptr || IoSetCancelRoutine(irp, nullptr) == nullptr) return false;
    port.waitWake = nullptr;
  }
  PoStartNextPowerIrp(irp);
  CompleteIrp(irp, status);
  return true;
}

NTSTATUS BusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalDeviceControl;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
  return STATUS_SUCCESS;
}

}  // namespace

PipeRecord* EmulatedPort::State::FindPipeLocked(USBD_PIPE_HANDLE handle) const {
  for (const auto& pipe : pipes) {
    if (pipe.get() == handle) return pipe.get();
  }
  return nullptr;
}

NTSTATUS DispatchInternalDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  EmulatedPort::State& port = PortOf(device);
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

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  EmulatedPort::State& port = PortOf(device);
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  switch (location->MinorFunction) {
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES caps = location->Parameters.DeviceCapabilities.Capabilities;
      if (caps == nullptr) return CompleteIrp(irp, STATUS_INVALID_PARAMETER);
      std::lock_guard<std::mutex> guard(port.lock);
      const USHORT size = caps->Size;
      const USHORT version = caps->Version;
      *caps = port.capabilities;
      // The caller's size and version stay as it set them.
      caps->Size = size;
      caps->Version = version;
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_REMOVE_DEVICE:
      EndWaitWake(port, STATUS_NO_SUCH_DEVICE);
      CancelTransfers(port, -1, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    default:
      break;  // a bus driver leaves the status of a request it does not handle alone
  }
  const NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
  EmulatedPort::State& port = PortOf(device);
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  switch (location->MinorFunction) {
    case IRP_MN_SET_POWER: {
      status = STATUS_SUCCESS;
      const POWER_STATE_TYPE type = location->Parameters.Power.Type;
      const ULONG held = type == DevicePowerState ? static_cast<ULONG>(location->Parameters.Power.State.DeviceState)
                                                  : static_cast<ULONG>(location->Parameters.Power.State.SystemState);
      {
        std::lock_guard<std::mutex> guard(port.lock);
        if (port.powerHolds.erase({type, held}) != 0) {
          IoMarkIrpPending(irp);
          port.heldPower.push_back(irp);
          return STATUS_PENDING;
        }
      }
      if (type == DevicePowerState) {
        const DEVICE_POWER_STATE state = location->Parameters.Power.State.DeviceState;
        std::lock_guard<std::mutex> guard(port.lock);
        auto planned = port.powerFailures.find(state);
        if (planned != port.powerFailures.end()) {
          status = planned->second;
          port.powerFailures.erase(planned);
        } else {
          port.devicePower = state;
        }
      }
      break;
    }
    case IRP_MN_QUERY_POWER:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_WAIT_WAKE: {
      KIRQL irql;
      IoAcquireCancelSpinLock(&irql);
      bool busy;
      {
        std::lock_guard<std::mutex> guard(port.lock);
        busy = port.waitWake != nullptr;
        if (!busy) port.waitWake = irp;
      }
      if (busy) {
        IoReleaseCancelSpinLock(irql);
        status = STATUS_DEVICE_BUSY;
        break;
      }
      IoMarkIrpPending(irp);
      IoSetCancelRoutine(irp, CancelWaitWake);
      const bool cancelled = irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr;
      if (cancelled) {
        std::lock_guard<std::mutex> guard(port.lock);
        port.waitWake = nullptr;
      }
      IoReleaseCancelSpinLock(irql);
      if (cancelled) {
        PoStartNextPowerIrp(irp);
        CompleteIrp(irp, STATUS_CANCELLED);
      }
      return STATUS_PENDING;
    }
    default:
      break;
  }
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS DispatchSystemControl(PDEVICE_OBJECT, PIRP irp) {
  const NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

EmulatedPort::EmulatedPort(std::shared_ptr<UsbFunction> function) : state_(std::make_shared<State>()) {
  state_->function = std::move(function);
  state_->capabilities = DefaultCapabilities();
  KeInitializeDpc(&state_->wakeDpc, WakeDpc, state_.get());
  state_->driver = kernel::LoadDriver(u"\\Driver\\EmulatedHub", BusDriverEntry);
  IoCreateDevice(state_->driver, sizeof(State*), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &state_->pdo);
  *static_cast<State**>(state_->pdo->DeviceExtension) = state_.get();
  state_->pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  State* raw = state_.get();
  state_->function->SetWake([raw] { KeInsertQueueDpc(&raw->wakeDpc, nullptr, nullptr); });
}

EmulatedPort::~EmulatedPort() {
  state_->function->SetWake(nullptr);
  Unplug();
  EndWaitWake(*state_, STATUS_NO_SUCH_DEVICE);
  KeRemoveQueueDpc(&state_->wakeDpc);
  KeFlushQueuedDpcs();
  IoDeleteDevice(state_->pdo);
  kernel::UnloadDriver(state_->driver);
}

PDEVICE_OBJECT EmulatedPort::PhysicalDeviceObject() const { return state_->pdo; }
UsbFunction& EmulatedPort::Function() const { return *state_->function; }

void EmulatedPort::Unplug() {
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->plugged = false;
  }
  CancelTransfers(*state_, -1, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
}

bool EmulatedPort::Plugged() const {
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->plugged;
}

void EmulatedPort::SetCapabilities(const DEVICE_CAPABILITIES& capabilities) {
  std::lock_guard<std::mutex> guard(state_->lock);
  state_->capabilities = capabilities;
}

void EmulatedPort::FailNextDevicePower(DEVICE_POWER_STATE state, NTSTATUS status) {
  std::lock_guard<std::mutex> guard(state_->lock);
  state_->powerFailures[state] = status;
}

void EmulatedPort::HoldNextDevicePower(DEVICE_POWER_STATE state) {
  std::lock_guard<std::mutex> guard(state_->lock);
  state_->powerHolds.insert({DevicePowerState, static_cast<ULONG>(state)});
}

void EmulatedPort::HoldNextSystemPower(SYSTEM_POWER_STATE state) {
  std::lock_guard<std::mutex> guard(state_->lock);
  state_->powerHolds.insert({SystemPowerState, static_cast<ULONG>(state)});
}

std::size_t EmulatedPort::CompleteHeldPower() {
  std::vector<PIRP> held;
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    held.swap(state_->heldPower);
  }
  for (PIRP irp : held) {
    const PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (location->Parameters.Power.Type == DevicePowerState) {
      std::lock_guard<std::mutex> guard(state_->lock);
      state_->devicePower = location->Parameters.Power.State.DeviceState;
    }
    PoStartNextPowerIrp(irp);
    CompleteIrp(irp, STATUS_SUCCESS);
  }
  return held.size();
}

bool EmulatedPort::SignalWake() { return EndWaitWake(*state_, STATUS_SUCCESS); }

bool EmulatedPort::WaitWakePending() const {
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->waitWake != nullptr;
}

DEVICE_POWER_STATE EmulatedPort::DevicePower() const {
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->devicePower;
}

void EmulatedPort::SetTransferHook(TransferHook hook) {
  std::lock_guard<std::mutex> guard(state_->lock);
  state_->transferHook = std::move(hook);
}

std::uint32_t EmulatedPort::BulkTransfers() const {
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->bulkTransfers;
}

std::vector<TraceEntry> EmulatedPort::Trace() const {
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->trace;
}

std::vector<TraceEntry> EmulatedPort::BulkTrace() const {
  std::vector<TraceEntry> bulk;
  for (TraceEntry& entry : Trace()) {
    if (entry.kind == TraceEntry::Kind::BulkOut || entry.kind == TraceEntry::Kind::BulkIn) {
      bulk.push_back(std::move(entry));
    }
  }
  return bulk;
}

void EmulatedPort::ClearTrace() {
  std::lock_guard<std::mutex> guard(state_->lock);
  state_->trace.clear();
}

std::vector<TraceEntry> EmulatedPort::TakeTrace() {
  std::lock_guard<std::mutex> guard(state_->lock);
  std::vector<TraceEntry> taken;
  taken.swap(state_->trace);
  return taken;
}

std::size_t EmulatedPort::ParkedTransfers() const {
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->transfers.size();
}

std::string FormatTraceEntry(const TraceEntry& entry, LONGLONG origin) {
  static const char* const kNames[] = {"OUT", "IN", "GET_DESCRIPTOR", "SELECT_CONFIGURATION", "UNCONFIGURE",
                                       "ABORT_PIPE", "PORT_STATUS", "PORT_RESET"};
  char head[96];
  std::snprintf(head, sizeof head, "%10.3f ms %-20s ep %02X status %08X",
                static_cast<double>(entry.time - origin) / static_cast<double>(kernel::kMillisecond),
                kNames[static_cast<int>(entry.kind)], entry.endpoint, static_cast<ULONG>(entry.status));
  std::string text = head;
  if (!entry.data.empty()) {
    text += " ";
    char byte[4];
    for (std::uint8_t b : entry.data) {
      std::snprintf(byte, sizeof byte, " %02X", b);
      text += byte;
    }
  }
  return text;
}

}  // namespace usb
