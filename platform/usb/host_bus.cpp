#include "platform/usb/host_bus.h"

#include <cstdio>

namespace usb {
namespace {

bool ParseHex16(std::string_view text, std::uint16_t* value) {
  if (text.size() != 4) return false;
  unsigned result = 0;
  for (char c : text) {
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return false;
    }
    result = result * 16 + digit;
  }
  *value = static_cast<std::uint16_t>(result);
  return true;
}

// Bus numbers and addresses are 1 to 255 (USB 2.0 clause 9.4.6: address 0 is the default one).
bool ParseByte(std::string_view text, std::uint8_t* value) {
  if (text.empty() || text.size() > 3) return false;
  unsigned result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    result = result * 10 + static_cast<unsigned>(c - '0');
  }
  if (result == 0 || result > 255) return false;
  *value = static_cast<std::uint8_t>(result);
  return true;
}

}  // namespace

bool DeviceMatch::Matches(const DeviceAddress& device) const {
  return device.vendorId == vendorId && device.productId == productId && (!bus || *bus == device.bus) &&
         (!address || *address == device.address);
}

std::string FormatDevice(const DeviceAddress& device) {
  char text[32];
  std::snprintf(text, sizeof text, "%04X:%04X@%u.%u", device.vendorId, device.productId, device.bus, device.address);
  return text;
}

std::string FormatDevice(const DeviceMatch& match) {
  const std::string text =
      FormatDevice(DeviceAddress{match.vendorId, match.productId, match.bus.value_or(0), match.address.value_or(0)});
  return match.bus && match.address ? text : text.substr(0, text.find('@'));
}

std::optional<DeviceMatch> ParseDeviceMatch(std::string_view text, std::string* error) {
  DeviceMatch match;
  const std::size_t at = text.find('@');
  const std::string_view ids = text.substr(0, at);
  if (ids.size() != 9 || ids[4] != ':' || !ParseHex16(ids.substr(0, 4), &match.vendorId) ||
      !ParseHex16(ids.substr(5), &match.productId)) {
    *error = "expected VVVV:PPPP[@BUS.DEV] (hexadecimal vendor and product ids), not '" + std::string(text) + "'";
    return std::nullopt;
  }
  if (at != std::string_view::npos) {
    const std::string_view place = text.substr(at + 1);
    const std::size_t dot = place.find('.');
    std::uint8_t bus = 0;
    std::uint8_t address = 0;
    if (dot == std::string_view::npos || !ParseByte(place.substr(0, dot), &bus) ||
        !ParseByte(place.substr(dot + 1), &address)) {
      *error = "expected @BUS.DEV (decimal, 1 to 255 each) after the ids, not '@" + std::string(place) + "'";
      return std::nullopt;
    }
    match.bus = bus;
    match.address = address;
  }
  return match;
}

}  // namespace usb
