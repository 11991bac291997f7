#include "host/control_requests.h"

#include "driver/public/vendor_ioctl.h"
#include "platform/smclib/winsmcrd.h"

namespace host {
namespace {

Bytes Ulong(ULONG value) {
  return Bytes{static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
               static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

// ISO/IEC 7816-3 bounds an ATR at 33 bytes; the rest is slack a caller would give.
constexpr ULONG kAtrRoom = 64;
// The longest attribute the library answers is a 64-byte record field.
constexpr ULONG kAttributeRoom = 256;
constexpr ULONG kDeviceDescriptorLength = 18;

}  // namespace

ControlRequest PowerRequest(ULONG operation) { return {IOCTL_SMARTCARD_POWER, Ulong(operation), kAtrRoom}; }

ControlRequest ProtocolRequest(ULONG mask) { return {IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(mask), sizeof(ULONG)}; }

ControlRequest TransmitRequest(ULONG protocol, std::span<const std::uint8_t> command) {
  Bytes input = Ulong(protocol);
  const Bytes headerLength = Ulong(sizeof(SCARD_IO_REQUEST));
  input.insert(input.end(), headerLength.begin(), headerLength.end());
  input.insert(input.end(), command.begin(), command.end());
  return {IOCTL_SMARTCARD_TRANSMIT, std::move(input), kLibraryBufferSize};
}

ControlRequest TrackingRequest(bool present) {
  return {present ? IOCTL_SMARTCARD_IS_PRESENT : IOCTL_SMARTCARD_IS_ABSENT, {}, 0};
}

ControlRequest StateRequest() { return {IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG)}; }

ControlRequest AttributeRequest(ULONG tag) { return {IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(tag), kAttributeRoom}; }

ControlRequest EjectRequest() { return {IOCTL_SMARTCARD_EJECT, {}, 0}; }

ControlRequest VendorRequest(VendorAction action, std::span<const std::uint8_t> input) {
  const Bytes in(input.begin(), input.end());
  switch (action) {
    case VendorAction::DeviceDescriptor:
      return {IOCTL_VENDOR_GET_DEVICE_DESCRIPTOR, {}, kDeviceDescriptorLength};
    case VendorAction::ConfigDescriptor:
      return {IOCTL_VENDOR_GET_CONFIG_DESCRIPTOR, {}, VendorConfigDescriptorLength};
    case VendorAction::ResetPort:
      return {IOCTL_VENDOR_RESET_PORT, {}, 0};
    case VendorAction::Version:
      return {IOCTL_VENDOR_GET_VERSION, {}, VendorVersionBlockLength};
    case VendorAction::Eject:
      return {IOCTL_VENDOR_EJECT, {}, VendorStatusBytesLength};
    case VendorAction::CommandB0:
      return {IOCTL_VENDOR_COMMAND_B0, in, VendorStatusBytesLength};
    case VendorAction::CommandD8:
      return {IOCTL_VENDOR_COMMAND_D8, in, VendorStatusBytesLength};
    case VendorAction::Pass:
      return {IOCTL_VENDOR_PASS_THROUGH, in, kLibraryBufferSize};
  }
  return {};
}

}  // namespace host
