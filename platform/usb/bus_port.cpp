// The emulated hub port: its physical device object, its Plug and Play
// requests, its life cycle and its trace.
#include "platform/usb/emulated_port.h"

#include <cstdio>

#include "platform/kernel/platform.h"
#include "platform/usb/port_state.h"

namespace usb {
namespace {

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

NTSTATUS BusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalDeviceControl;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
  return STATUS_SUCCESS;
}

}  // namespace

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
  static const char* const kNames[] = {"OUT",         "IN",         "GET_DESCRIPTOR", "SELECT_CONFIGURATION",
                                       "UNCONFIGURE", "ABORT_PIPE", "PORT_STATUS",    "PORT_RESET"};
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
