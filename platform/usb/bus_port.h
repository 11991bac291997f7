// A port of a USB hub as the bus driver presents it: the physical device
// object at the bottom of a device stack and every request a function driver
// sends it (descriptor reads, select configuration and unconfigure, pipe
// aborts, bulk transfers, port status and reset, the capability query, power
// and Plug and Play), with a trace of what crossed it. What carries the
// requests to a device differs by port: EmulatedPort (an emulated device in
// this process) and LibusbPort (a device on a real bus, through libusb).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/kernel/wdm.h"
#include "platform/usb/usb.h"
#include "platform/usb/usb_function.h"

namespace usb {

// One entry of what crossed the port.
struct TraceEntry {
  enum class Kind { BulkOut, BulkIn, GetDescriptor, SelectConfiguration, Unconfigure, AbortPipe, PortStatus, PortReset };
  Kind kind;
  LONGLONG time;                    // system time at completion
  std::uint8_t endpoint = 0;        // bulk transfers and aborts
  std::vector<std::uint8_t> data;   // bytes sent (OUT) or received (IN)
  ULONG requested = 0;              // IN: the length asked for; descriptors: the buffer length
  NTSTATUS status = STATUS_SUCCESS;
};

// One line: time in milliseconds since `origin` (system time), kind, endpoint, status, bytes.
std::string FormatTraceEntry(const TraceEntry& entry, LONGLONG origin = 0);

class Capture;
class PortCarrier;
struct PortCore;

class BusPort {
 public:
  virtual ~BusPort();
  BusPort(const BusPort&) = delete;
  BusPort& operator=(const BusPort&) = delete;

  // The physical device object a function driver's AddDevice is given.
  PDEVICE_OBJECT PhysicalDeviceObject() const;

  // The device goes away: transfers under way fail, later ones too, and the
  // port reports it disconnected (STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE).
  void Unplug();
  bool Plugged() const;

  // What the capability query answers (DeviceState array, DeviceWake, ...).
  void SetCapabilities(const DEVICE_CAPABILITIES& capabilities);
  // The next device power request for this state fails with this status.
  void FailNextDevicePower(DEVICE_POWER_STATE state, NTSTATUS status);
  // The next IRP_MN_SET_POWER for this device or system state stays pending
  // at the port, a request that never completes, until CompleteHeldPower.
  void HoldNextDevicePower(DEVICE_POWER_STATE state);
  void HoldNextSystemPower(SYSTEM_POWER_STATE state);
  // Completes the held requests with success, on the calling thread; how many.
  std::size_t CompleteHeldPower();
  // Completes a waiting wait-wake request, as the device signalling resume.
  bool SignalWake();
  bool WaitWakePending() const;
  DEVICE_POWER_STATE DevicePower() const;

  // Fault injection by number: bulk transfers are numbered from 1 in the
  // order they reach the port (refused ones included). The hook runs before
  // the port serves one, on the submitting thread and outside every lock of
  // the port (it may unplug it); a failure it returns ends that transfer.
  using TransferHook = std::function<std::optional<TransferFailure>(std::uint32_t number, bool in)>;
  void SetTransferHook(TransferHook hook);
  std::uint32_t BulkTransfers() const;

  // Transfers and requests in the order they completed.
  std::vector<TraceEntry> Trace() const;
  // Only the bulk transfers, OUT and IN (an IN transfer that brought no bytes included).
  std::vector<TraceEntry> BulkTrace() const;
  void ClearTrace();
  // The trace so far, emptied in the same step: what a long-running host
  // drains so the trace does not grow for ever.
  std::vector<TraceEntry> TakeTrace();
  // On by default; a host that shows no trace turns it off and the port
  // keeps nothing.
  void SetTracing(bool on);
  // Every URB that reaches the port from now on, and its completion, goes
  // to this capture as well (null: none, the default).
  void SetCapture(std::shared_ptr<Capture> capture);

 protected:
  // The port's bus driver is loaded under `driverName`; the carrier is what
  // differs between ports, and lives as long as the port.
  BusPort(std::u16string_view driverName, std::unique_ptr<PortCarrier> carrier);
  PortCarrier& Carrier() const;

 private:
  std::shared_ptr<PortCore> core_;
};

}  // namespace usb
