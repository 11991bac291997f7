// The buffers of every control code the driver serves, as the resource
// manager and applications fill them: what goes in, and how much room the
// answer gets. Input and output share the request's system buffer.
#pragma once

#include <cstdint>
#include <span>

#include "host/hex.h"
#include "platform/kernel/wdm.h"

namespace host {

struct ControlRequest {
  ULONG code = 0;
  Bytes input;
  ULONG outputLength = 0;
};

// The largest request and reply the smart-card library takes: the size of
// the buffers the driver asks it for.
constexpr ULONG kLibraryBufferSize = 0x10400;

// IOCTL_SMARTCARD_POWER: the operation (SCARD_COLD_RESET, SCARD_WARM_RESET,
// SCARD_POWER_DOWN) as 4 bytes; room for the longest ATR and more.
ControlRequest PowerRequest(ULONG operation);
// IOCTL_SMARTCARD_SET_PROTOCOL: the acceptable protocols as a 4-byte mask;
// the selected one comes back in 4 bytes.
ControlRequest ProtocolRequest(ULONG mask);
// IOCTL_SMARTCARD_TRANSMIT: an SCARD_IO_REQUEST header (the protocol, header
// length 8) in front of the command; the reply repeats the header before the
// response, with room for the library's whole reply buffer.
ControlRequest TransmitRequest(ULONG protocol, std::span<const std::uint8_t> command);
// IOCTL_SMARTCARD_IS_PRESENT or IOCTL_SMARTCARD_IS_ABSENT: no buffers.
ControlRequest TrackingRequest(bool present);
// IOCTL_SMARTCARD_GET_STATE: the card state in 4 bytes.
ControlRequest StateRequest();
// IOCTL_SMARTCARD_GET_ATTRIBUTE: the tag as 4 bytes; room for any attribute.
ControlRequest AttributeRequest(ULONG tag);
// IOCTL_SMARTCARD_EJECT: no buffers.
ControlRequest EjectRequest();

// The eight vendor codes with their buffers: descriptors (18 and 9 bytes
// back), the port reset (none), the version block (8), the reader's eject
// and commands B0 and D8 (their parameter byte in, the two status bytes
// back), and the pass-through (a whole frame in, room for any reply frame).
enum class VendorAction { DeviceDescriptor, ConfigDescriptor, ResetPort, Version, Eject, CommandB0, CommandD8, Pass };
ControlRequest VendorRequest(VendorAction action, std::span<const std::uint8_t> input = {});

}  // namespace host
