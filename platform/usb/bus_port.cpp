// A hub port: its physical device object, its Plug and Play requests, its
// life cycle and its trace.
#include "platform/usb/bus_port.h"

#include <cstdio>

#include "platform/kernel/platform.h"
#include "platform/usb/port_core.h"

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
  PortCore& port = PortOf(device);
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
      port.carrier->CancelTransfers(-1, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
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

BusPort::BusPort(std::u16string_view driverName, std::unique_ptr<PortCarrier> carrier)
    : core_(std::make_shared<PortCore>()) {
  core_->carrier = std::move(carrier);
  core_->carrier->core = core_.get();
  core_->capabilities = DefaultCapabilities();
  core_->driver = kernel::LoadDriver(driverName, BusDriverEntry);
  IoCreateDevice(core_->driver, sizeof(PortCore*), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &core_->pdo);
  *static_cast<PortCore**>(core_->pdo->DeviceExtension) = core_.get();
  core_->pdo->Flags &= ~DO_DEVICE_INITIALIZING;
}

BusPort::~BusPort() {
  Unplug();
  EndWaitWake(*core_, STATUS_NO_SUCH_DEVICE);
  core_->carrier->Shutdown();
  IoDeleteDevice(core_->pdo);
  kernel::UnloadDriver(core_->driver);
}

PDEVICE_OBJECT BusPort::PhysicalDeviceObject() const { return core_->pdo; }
PortCarrier& BusPort::Carrier() const { return *core_->carrier; }

void BusPort::Unplug() {
  {
    std::lock_guard<std::mutex> guard(core_->lock);
    core_->plugged = false;
  }
  core_->carrier->CancelTransfers(-1, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
}

bool BusPort::Plugged() const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->plugged;
}

void BusPort::SetCapabilities(const DEVICE_CAPABILITIES& capabilities) {
  std::lock_guard<std::mutex> guard(core_->lock);
  core_->capabilities = capabilities;
}

void BusPort::SetTransferHook(TransferHook hook) {
  std::lock_guard<std::mutex> guard(core_->lock);
  core_->transferHook = std::move(hook);
}

std::uint32_t BusPort::BulkTransfers() const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->bulkTransfers;
}

std::vector<TraceEntry> BusPort::Trace() const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->trace;
}

std::vector<TraceEntry> BusPort::BulkTrace() const {
  std::vector<TraceEntry> bulk;
  for (TraceEntry& entry : Trace()) {
    if (entry.kind == TraceEntry::Kind::BulkOut || entry.kind == TraceEntry::Kind::BulkIn) {
      bulk.push_back(std::move(entry));
    }
  }
  return bulk;
}

void BusPort::ClearTrace() {
  std::lock_guard<std::mutex> guard(core_->lock);
  core_->trace.clear();
}

std::vector<TraceEntry> BusPort::TakeTrace() {
  std::lock_guard<std::mutex> guard(core_->lock);
  std::vector<TraceEntry> taken;
  taken.swap(core_->trace);
  return taken;
}

void BusPort::SetTracing(bool on) {
  std::lock_guard<std::mutex> guard(core_->lock);
  core_->tracing = on;
  if (!on) core_->trace.clear();
}

void BusPort::SetCapture(std::shared_ptr<Capture> capture) {
  std::lock_guard<std::mutex> guard(core_->lock);
  core_->capture = std::move(capture);
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
