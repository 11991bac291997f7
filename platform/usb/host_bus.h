// The machine's own USB bus, through libusb-1.0: the devices on it, their
// arrival and departure, and a BusPort for one of them (LibusbPort), which
// carries the driver's requests to the physical device. A build without
// libusb has a bus that cannot be opened.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/usb/bus_port.h"

namespace usb {

struct DeviceAddress {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint8_t bus = 0;
  std::uint8_t address = 0;
  bool operator==(const DeviceAddress&) const = default;
};

// What to look for: a vendor and product, and optionally one bus position.
struct DeviceMatch {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::optional<std::uint8_t> bus;
  std::optional<std::uint8_t> address;
  bool Matches(const DeviceAddress& device) const;
};

// "VVVV:PPPP@BUS.DEV" (hexadecimal ids, decimal bus and address); a match
// without a place is "VVVV:PPPP".
std::string FormatDevice(const DeviceAddress& device);
std::string FormatDevice(const DeviceMatch& match);
// "VVVV:PPPP" or "VVVV:PPPP@BUS.DEV"; nullopt with *error for anything else.
std::optional<DeviceMatch> ParseDeviceMatch(std::string_view text, std::string* error);

class HostBus {
 public:
  // The bus, or null with *error (no libusb in this build, or libusb_init failed).
  static std::unique_ptr<HostBus> Open(std::string* error);
  virtual ~HostBus() = default;

  virtual std::vector<DeviceAddress> Devices() = 0;

  // Called on the bus's event thread, which must not be held up: arrival
  // for every device present when Watch is called and for each that
  // arrives later, departure for each that leaves. One watcher at a time;
  // an empty one stops watching.
  struct Watcher {
    std::function<void(const DeviceAddress&)> arrived;
    std::function<void(const DeviceAddress&)> left;
  };
  virtual void Watch(Watcher watcher) = 0;

  // A port for this device, opened and its first interface's driver
  // detached; null with *error when it cannot be opened.
  virtual std::unique_ptr<BusPort> OpenPort(const DeviceAddress& device, std::string* error) = 0;
};

}  // namespace usb
