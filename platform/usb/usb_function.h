// The device side of an emulated USB port: what the bus driver stand-in asks
// of the device behind it. The bus driver turns URBs into these calls and the
// answers back into completed requests; an implementation (the emulated
// reader) never sees a request.
//
// Times are the kernel's system time in 100-ns units (KeQuerySystemTime), so
// the device runs in simulated time whenever the platform does.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <vector>

#include "platform/kernel/ntstatus.h"

namespace usb {

using DeviceTime = std::int64_t;
constexpr DeviceTime kNever = std::numeric_limits<DeviceTime>::max();

// How one transfer ends. A transfer that fails carries the request status the
// bus driver completes it with and the USBD status it writes into the URB.
struct TransferFailure {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  std::int32_t usbdStatus = static_cast<std::int32_t>(0xC0000004);  // USBD_STATUS_STALL_PID
};

struct OutResult {
  bool failed = false;
  TransferFailure failure;
  DeviceTime completeAt = 0;  // the transfer completes at this time (<= now: at once)
};

struct InResult {
  enum class Kind {
    Data,      // the transfer completes at completeAt with these bytes (possibly none: a ZLP)
    NotReady,  // the device NAKs: ask again at readyAt (kNever: only after a wake)
    Failed,    // the transfer fails at completeAt
  };
  Kind kind = Kind::NotReady;
  std::vector<std::uint8_t> data;
  DeviceTime completeAt = 0;
  DeviceTime readyAt = kNever;
  TransferFailure failure;
};

struct PortStatus {
  bool connected = true;
  bool enabled = true;
};

class UsbFunction {
 public:
  virtual ~UsbFunction() = default;

  // The whole descriptor of this type and index (device: 18 bytes;
  // configuration: wTotalLength bytes). The bus driver cuts it to the length
  // the host asked for. An empty answer stalls the request.
  virtual std::vector<std::uint8_t> GetDescriptor(std::uint8_t type, std::uint8_t index) = 0;

  // SET_CONFIGURATION: 0 returns the device to the unconfigured state.
  virtual void SetConfiguration(std::uint8_t configurationValue) = 0;

  // One bulk OUT transfer as it crossed the bus (a zero-length one too).
  virtual OutResult BulkOut(std::uint8_t endpointAddress, std::span<const std::uint8_t> data,
                            DeviceTime now) = 0;

  // The host asks for at most maxLength bytes on a bulk IN endpoint.
  virtual InResult BulkIn(std::uint8_t endpointAddress, std::uint32_t maxLength, DeviceTime now) = 0;

  // The host aborted the pipe of this endpoint: a reply being held for it is dropped
  // or kept as the device chooses.
  virtual void AbortEndpoint(std::uint8_t endpointAddress) = 0;

  virtual PortStatus GetPortStatus() = 0;
  virtual void ResetPort() = 0;

  // The bus driver installs this; the device calls it when something changed
  // outside a transfer (a held reply released, a card inserted) so that
  // waiting IN transfers are asked again. Safe to call from any thread.
  void SetWake(std::function<void()> wake) { wake_ = std::move(wake); }

 protected:
  void Wake() {
    if (wake_) wake_();
  }

 private:
  std::function<void()> wake_;
};

}  // namespace usb
