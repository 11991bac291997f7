// Protocol selection: which protocol a set-protocol mask selects.
#pragma once

#include "device/device_context.h"

// The reply of a set-protocol request: the selection as an unsigned 32-bit value.
constexpr ULONG SelectedProtocolReplyLength = sizeof(ULONG);

// Of the mask's low 16 bits, T=1 (0x0002) goes before T=0 (0x0001); with
// neither the result is SCARD_PROTOCOL_UNDEFINED (0). SCARD_PROTOCOL_RAW
// and the other high bits are never selected.
ULONG SelectProtocol(ULONG ProtocolMask);
