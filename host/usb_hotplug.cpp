#include "host/usb_hotplug.h"

#include <algorithm>

namespace host {

UsbHotplug::UsbHotplug() : bus_(usb::HostBus::Open(&error_)) {
  if (!bus_) return;
  bus_->Watch({[this](const usb::DeviceAddress& device) { Arrived(device); },
               [this](const usb::DeviceAddress& device) { Left(device); }});
}

UsbHotplug::~UsbHotplug() {
  if (bus_) bus_->Watch({});
  std::map<std::string, std::unique_ptr<kernel::SystemThread>> leaving;
  {
    std::lock_guard<std::mutex> guard(lock_);
    leaving.swap(leaving_);
  }
  leaving.clear();  // joins them
  bus_.reset();
}

void UsbHotplug::Arrived(const usb::DeviceAddress& device) {
  std::lock_guard<std::mutex> guard(lock_);
  if (std::find(present_.begin(), present_.end(), device) == present_.end()) present_.push_back(device);
  changed_.notify_all();
}

void UsbHotplug::Left(const usb::DeviceAddress& device) {
  std::lock_guard<std::mutex> guard(lock_);
  present_.erase(std::remove(present_.begin(), present_.end(), device), present_.end());
  const std::string key = usb::FormatDevice(device);
  auto found = departures_.find(key);
  if (found != departures_.end()) {
    // The libusb event thread must not be held up: the departure is handled
    // on a thread of the platform, which counts in simulated time from here.
    leaving_[key] = std::make_unique<kernel::SystemThread>("usb departure " + key, std::move(found->second));
    departures_.erase(found);
  }
  changed_.notify_all();
}

std::optional<usb::DeviceAddress> UsbHotplug::WaitFor(const usb::DeviceMatch& match,
                                                       std::chrono::milliseconds bound) {
  std::unique_lock<std::mutex> guard(lock_);
  std::optional<usb::DeviceAddress> found;
  changed_.wait_for(guard, bound, [&] {
    for (const usb::DeviceAddress& device : present_) {
      if (match.Matches(device)) found = device;
    }
    return found.has_value();
  });
  return found;
}

std::unique_ptr<usb::BusPort> UsbHotplug::Open(const usb::DeviceAddress& device, std::string* error) {
  if (!bus_) {
    *error = error_;
    return nullptr;
  }
  return bus_->OpenPort(device, error);
}

bool UsbHotplug::Present(const usb::DeviceAddress& device) {
  std::lock_guard<std::mutex> guard(lock_);
  return std::find(present_.begin(), present_.end(), device) != present_.end();
}

void UsbHotplug::OnDeparture(const usb::DeviceAddress& device, std::function<void()> left) {
  std::lock_guard<std::mutex> guard(lock_);
  departures_[usb::FormatDevice(device)] = std::move(left);
}

void UsbHotplug::Forget(const usb::DeviceAddress& device) {
  std::unique_ptr<kernel::SystemThread> leaving;
  {
    std::lock_guard<std::mutex> guard(lock_);
    const std::string key = usb::FormatDevice(device);
    departures_.erase(key);
    auto found = leaving_.find(key);
    if (found != leaving_.end()) {
      leaving = std::move(found->second);
      leaving_.erase(found);
    }
  }
}

bool UsbHotplug::AwaitDeparture(const usb::DeviceAddress& device, std::chrono::milliseconds bound) {
  const std::string key = usb::FormatDevice(device);
  std::unique_ptr<kernel::SystemThread> leaving;
  {
    std::unique_lock<std::mutex> guard(lock_);
    if (!changed_.wait_for(guard, bound, [&] { return leaving_.count(key) != 0; })) return false;
    leaving = std::move(leaving_[key]);
    leaving_.erase(key);
  }
  leaving->Join();
  return true;
}

}  // namespace host
