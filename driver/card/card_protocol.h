// Protocol selection: which protocol a set-protocol mask selects.
#pragma once

#include "driver/device/device_context.h"

// The reply of a set-protocol request: the selection as an unsigned 32-bit value.
constexpr ULONG SelectedProtocolReplyLength = sizeof(ULONG);

// Of the mask's low 16 bits, the protocols the card offers (Supported, as
// the library read the ATR) and the reader can run it in: T=1 (0x0002)
// before T=0 (0x0001); SCARD_PROTOCOL_UNDEFINED (0) when there is none.
// SCARD_PROTOCOL_RAW and the other high bits are never selected.
// ReaderPicksProtocol: the reset carries no protocol to the reader, which
// then runs T=0 whenever the card offers it, so T=1 is reachable only on a
// card without T=0.
ULONG SelectProtocol(ULONG ProtocolMask, ULONG Supported, BOOLEAN ReaderPicksProtocol);

// Whether the reader picks the card's protocol at a reset itself: firmware
// whose reset command takes no parameter byte, on which the driver runs
// the card's protocol (T=0 frames and T=1 blocks). Old-generation readers
// take whole T=1 commands and run the card's protocol themselves.
BOOLEAN ReaderPicksProtocol(USHORT FirmwareVersion);
