// What the IFD handler's fuzz target needs from the platform and the
// emulator, kept apart from pcsc-lite's header (its DWORD, LONG and
// SCARD_IO_REQUEST clash with the kernel's): the card in the reader behind
// a Lun, the outcome of the handler's calls, and the ends of an input.
#pragma once

#include <cstddef>

namespace fuzzing::ifdworld {

// Before the input's channel opens: the process's platform, in simulated
// time, which the handler's host then uses instead of one of its own.
void BeginInput();
// The reader behind `lun` gets a T=1 card (present) or none. False when the Lun is not open.
bool SetCard(unsigned long lun, bool present);
// What a call gave back, for the digest of the input's outcome.
void Note(unsigned long value);
void Note(const unsigned char* bytes, std::size_t length);
// After the channel has closed, which unloads the driver: no request and no
// pool block of the driver left; then the outcome and the platform's reset
// (fuzz/driver_session.h).
void EndInput();

}  // namespace fuzzing::ifdworld
