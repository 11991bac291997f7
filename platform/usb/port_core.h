// The bus driver's per-port state, private to the USB stand-in.
#pragma once

#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "platform/usb/emulated_port.h"

namespace usb {

struct PipeRecord {
  UCHAR endpoint;
  bool in;
  USBD_PIPE_TYPE type;
};

// A transfer the port holds: waiting for the device to have data (IN), or
// for the time at which the bus finishes it.
struct Transfer {
  enum class Phase { WaitingForDevice, Completing };
  PIRP irp;
  PURB urb;
  EmulatedPort::State* port;
  KTIMER timer;
  KDPC dpc;
  Phase phase;
  UCHAR endpoint;
  bool in;
  NTSTATUS status;
  USBD_STATUS usbdStatus;
  std::vector<std::uint8_t> data;  // OUT: what was sent (for the trace); IN: what the device gave
};

struct EmulatedPort::State {
  std::shared_ptr<UsbFunction> function;
  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT pdo = nullptr;

  mutable std::mutex lock;  // never held while a request is completed or the device is called
  bool plugged = true;
  UCHAR configurationValue = 0;  // 0: unconfigured
  std::vector<std::unique_ptr<PipeRecord>> pipes;
  std::list<Transfer*> transfers;
  std::vector<TraceEntry> trace;
  DEVICE_CAPABILITIES capabilities{};
  std::map<DEVICE_POWER_STATE, NTSTATUS> powerFailures;
  std::set<std::pair<POWER_STATE_TYPE, ULONG>> powerHolds;  // the next SET_POWER of each stays pending
  std::vector<PIRP> heldPower;
  DEVICE_POWER_STATE devicePower = PowerDeviceD0;
  PIRP waitWake = nullptr;
  KDPC wakeDpc;  // asks the device again for every IN transfer that waits
  std::uint32_t bulkTransfers = 0;
  EmulatedPort::TransferHook transferHook;

  PipeRecord* FindPipeLocked(USBD_PIPE_HANDLE handle) const;
  void TraceLocked(TraceEntry entry) { trace.push_back(std::move(entry)); }
};

NTSTATUS DispatchInternalDeviceControl(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS DispatchSystemControl(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS SubmitBulkTransfer(EmulatedPort::State& port, PIRP irp, PURB urb);
void CancelTransfers(EmulatedPort::State& port, int endpoint, NTSTATUS status, USBD_STATUS usbdStatus);
void WakeDpc(KDPC* dpc, PVOID context, PVOID, PVOID);
// Completes a waiting wait-wake request with this status; false when none waits.
bool EndWaitWake(EmulatedPort::State& port, NTSTATUS status);

inline EmulatedPort::State& PortOf(PDEVICE_OBJECT device) {
  return **static_cast<EmulatedPort::State**>(device->DeviceExtension);
}

// The system time, in 100-ns units, that the trace records.
inline LONGLONG NowTime() {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  return now.QuadPart;
}

inline NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace usb
