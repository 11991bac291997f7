// What carries an emulated port's requests to its UsbFunction, private to
// the USB stand-in.
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/usb/port_core.h"

namespace usb {

class EmulatedCarrier;

// A transfer the port holds: waiting for the device to have data (IN), or
// for the time at which the bus finishes it.
struct Transfer {
  enum class Phase { WaitingForDevice, Completing };
  PIRP irp;
  PURB urb;
  EmulatedCarrier* carrier;
  KTIMER timer;
  KDPC dpc;
  Phase phase;
  UCHAR endpoint;
  bool in;
  Outcome outcome;
  std::vector<std::uint8_t> data;  // OUT: what was sent (for the trace); IN: what the device gave
};

class EmulatedCarrier : public PortCarrier {
 public:
  explicit EmulatedCarrier(std::shared_ptr<UsbFunction> function);

  Outcome ReadDescriptor(UCHAR type, UCHAR index, ULONG length, std::vector<std::uint8_t>* bytes) override;
  Outcome SetConfiguration(UCHAR value) override;
  NTSTATUS CarryBulk(PIRP irp, PURB urb, const PipeRecord& pipe) override;
  void CancelTransfers(int endpoint, NTSTATUS status, USBD_STATUS usbdStatus) override;
  void AbortEndpoint(UCHAR endpoint) override { function->AbortEndpoint(endpoint); }
  PortStatus GetPortStatus() override { return function->GetPortStatus(); }
  Outcome ResetPort(UCHAR configurationValue) override;
  void Shutdown() override;

  const std::shared_ptr<UsbFunction> function;
  std::mutex lock;  // the parked transfers; never held while a request is completed or the device is called
  std::list<Transfer*> transfers;
  KDPC wakeDpc;  // asks the device again for every IN transfer that waits
  std::atomic<int> asking{0};  // IN transfers between asking the device and being finished or parked
};

void WakeDpc(KDPC* dpc, PVOID context, PVOID, PVOID);

}  // namespace usb
