// The bus driver's per-port state and the requests every port serves alike,
// private to the USB stand-in. A port differs only in its PortCarrier: how a
// descriptor is read, a configuration set, a bulk transfer carried and
// cancelled, a pipe aborted, the port status read and the port reset.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "platform/usb/bus_port.h"
#include "platform/usb/capture.h"

namespace usb {

struct PipeRecord {
  UCHAR endpoint;
  bool in;
  USBD_PIPE_TYPE type;
};

// A request's outcome at the device: the request status and the USBD status.
struct Outcome {
  NTSTATUS status = STATUS_SUCCESS;
  USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;
};

struct PortCore;

class PortCarrier {
 public:
  virtual ~PortCarrier() = default;

  // The port's state, set when the port is made.
  PortCore* core = nullptr;

  // The descriptor of this type and index, at most `length` bytes, into *bytes.
  virtual Outcome ReadDescriptor(UCHAR type, UCHAR index, ULONG length, std::vector<std::uint8_t>* bytes) = 0;
  // SET_CONFIGURATION; 0 returns the device to the unconfigured state.
  virtual Outcome SetConfiguration(UCHAR value) = 0;
  // Carries a bulk transfer the port has checked; whenever it ends, it ends
  // through FinishBulk. Returns STATUS_PENDING or the status it ended with.
  virtual NTSTATUS CarryBulk(PIRP irp, PURB urb, const PipeRecord& pipe) = 0;
  // Ends the transfers under way on this endpoint (-1: every one) with these
  // statuses; returns once they have ended.
  virtual void CancelTransfers(int endpoint, NTSTATUS status, USBD_STATUS usbdStatus) = 0;
  // After an abort ended the pipe's transfers: what the device side does.
  virtual void AbortEndpoint(UCHAR endpoint) = 0;
  virtual PortStatus GetPortStatus() = 0;
  // Resets the port and restores this configuration (0: none), as the host stack does.
  virtual Outcome ResetPort(UCHAR configurationValue) = 0;
  // The port is going: nothing may call back into it after this returns.
  virtual void Shutdown() {}
};

struct PortCore {
  std::unique_ptr<PortCarrier> carrier;
  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT pdo = nullptr;

  mutable std::mutex lock;  // never held while a request is completed or the device is called
  bool plugged = true;
  UCHAR configurationValue = 0;  // 0: unconfigured
  std::vector<std::unique_ptr<PipeRecord>> pipes;
  std::vector<TraceEntry> trace;
  bool tracing = true;
  DEVICE_CAPABILITIES capabilities{};
  std::map<DEVICE_POWER_STATE, NTSTATUS> powerFailures;
  std::set<std::pair<POWER_STATE_TYPE, ULONG>> powerHolds;  // the next SET_POWER of each stays pending
  std::vector<PIRP> heldPower;
  DEVICE_POWER_STATE devicePower = PowerDeviceD0;
  PIRP waitWake = nullptr;
  std::uint32_t bulkTransfers = 0;
  BusPort::TransferHook transferHook;
  std::shared_ptr<Capture> capture;  // null unless a capture is asked for: then each URB is written

  PipeRecord* FindPipeLocked(USBD_PIPE_HANDLE handle) const;
  void TraceLocked(TraceEntry entry) {
    if (tracing) trace.push_back(std::move(entry));
  }
};

NTSTATUS DispatchInternalDeviceControl(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS DispatchSystemControl(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS SubmitBulkTransfer(PortCore& port, PIRP irp, PURB urb);
// Completes a waiting wait-wake request with this status; false when none waits.
bool EndWaitWake(PortCore& port, NTSTATUS status);
// Ends a bulk transfer: IN data into the caller's buffer (at most what it
// asked for), the URB's length and status, the trace, the request.
void FinishBulk(PortCore& port, PIRP irp, PURB urb, UCHAR endpoint, bool in, Outcome outcome,
                std::vector<std::uint8_t> data);
// The outcome of IN data of this length: without USBD_SHORT_TRANSFER_OK a
// short packet ends the transfer with an error.
Outcome InDataOutcome(const _URB_BULK_OR_INTERRUPT_TRANSFER& bulk, std::size_t length);

inline PortCore& PortOf(PDEVICE_OBJECT device) { return **static_cast<PortCore**>(device->DeviceExtension); }

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
