// What CardTransmit shares with the three ways a command reaches the card:
// the T=0 frame, the old generation's card frame, and the T=1 blocks. Each
// path runs with ReaderLock held, after CardTransmit has checked the lengths
// and copied the SCARD_IO_REQUEST header into the reply.
#pragma once

#include "driver/device/device_context.h"
#include "driver/reader/firmware_generation.h"

// The SCARD_IO_REQUEST header in front of the command and of the response.
constexpr ULONG TransmitHeaderLength = sizeof(SCARD_IO_REQUEST);
// The longest command: an extended case 4 APDU without its Le field
// (4 header bytes, 3 Lc bytes, 65,535 data bytes).
constexpr ULONG TransmitCommandMax = 0x10006;

// One transmission gives the reader back after 10 minutes (100-ns units),
// however often the card asks for more time with NULL procedure bytes or
// S(WTX) requests. That is well above the slowest on-card work we know of
// (RSA key generation on slow cards takes minutes) and above the longest
// recovery the T=1 rules allow at the longest block waiting time an ATR can
// give (six waits of 51.2 s), while a card that asks for time without end
// cannot keep ReaderLock, and with it the presence poll, for ever.
constexpr LONGLONG TransmissionTimeLimit = 6'000'000'000;

// T=0 frame and 265-byte reply reads (driver/card/t0_transmit.cpp).
NTSTATUS TransmitT0(PSMARTCARD_EXTENSION SmartcardExtension, ULONG CommandLength);
// Old-generation card frame, transfer status and result (driver/card/transmit_old_generation.cpp).
NTSTATUS TransmitOldGeneration(PSMARTCARD_EXTENSION SmartcardExtension, ULONG CommandLength);
// The T=1 block protocol (driver/card/t1_transmit.cpp).
NTSTATUS TransmitT1Blocks(PSMARTCARD_EXTENSION SmartcardExtension, ULONG CommandLength);

// The reader's refusal of a frame: 0x21, N = 4, an information field whose
// byte 2 has the high nibble 0xF and whose byte 3 is 0xAD. New generation:
// 21 s 04 01 <command> Fx AD c; old generation: 21 00 00 04 01 <command> Fx AD.
BOOLEAN IsReaderErrorReply(FRAME_GENERATION Generation, const UCHAR* Reply, ULONG Length);

// The system time at which the transmission starting now must end.
LONGLONG TransmissionDeadline();
// How long the next wait may last: Wait, cut to the time left before
// Deadline. FALSE once the deadline has passed: no wait may start then.
BOOLEAN WaitBeforeDeadline(LONGLONG Deadline, LONGLONG Wait, LONGLONG* Allowed);

// Puts a whole response behind the header: STATUS_SUCCESS with
// *IoRequest.Information = 8 + Length, or STATUS_BUFFER_TOO_SMALL, with
// nothing of the response copied, when it does not fit the reply buffer.
NTSTATUS PlaceResponse(PSMARTCARD_EXTENSION SmartcardExtension, const UCHAR* Response, ULONG Length);
