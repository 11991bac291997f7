// Hot-plug of physical readers on the machine's USB bus (usb::HostBus):
// which devices are there, waiting for one to arrive, and the departure of
// a reader the host plugged, which runs on a platform thread of its own (as
// the Plug and Play manager hears of it): IRP_MN_SURPRISE_REMOVAL, then the
// removal once its handles close (PnpManager::SurpriseRemove).
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/kernel/platform.h"
#include "platform/usb/host_bus.h"

namespace host {

class UsbHotplug {
 public:
  UsbHotplug();
  ~UsbHotplug();
  UsbHotplug(const UsbHotplug&) = delete;
  UsbHotplug& operator=(const UsbHotplug&) = delete;

  // Is the bus open; why not.
  bool Ok() const { return bus_ != nullptr; }
  const std::string& Error() const { return error_; }

  // A matching device on the bus, waiting at most `bound` (real time) for
  // one to arrive; nullopt when none came.
  std::optional<usb::DeviceAddress> WaitFor(const usb::DeviceMatch& match, std::chrono::milliseconds bound);
  std::unique_ptr<usb::BusPort> Open(const usb::DeviceAddress& device, std::string* error);
  // Is this device on the bus, as far as the hot-plug events told.
  bool Present(const usb::DeviceAddress& device);

  // When this device leaves the bus, `left` runs once on a platform thread of
  // its own. Forget stops watching it (and waits for a departure under way).
  void OnDeparture(const usb::DeviceAddress& device, std::function<void()> left);
  void Forget(const usb::DeviceAddress& device);
  // Waits at most `bound` (real time) for this device's departure to be
  // seen, then for its handling to end; false when it was not seen.
  bool AwaitDeparture(const usb::DeviceAddress& device, std::chrono::milliseconds bound);

 private:
  void Arrived(const usb::DeviceAddress& device);
  void Left(const usb::DeviceAddress& device);

  std::string error_;
  std::unique_ptr<usb::HostBus> bus_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<usb::DeviceAddress> present_;
  std::map<std::string, std::function<void()>> departures_;  // by FormatDevice
  std::map<std::string, std::unique_ptr<kernel::SystemThread>> leaving_;
};

}  // namespace host
