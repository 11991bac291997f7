// What the IFD handler's fuzz target needs from the platform and the
// emulator, kept apart from pcsc-lite's header (its DWORD, LONG and
// SCARD_IO_REQUEST clash with the kernel's): the card in the reader behind
// a Lun, and the checks between inputs.
#pragma once

namespace fuzzing::ifdworld {

// The reader behind `lun` gets a T=1 card (present) or none. False when the Lun is not open.
bool SetCard(unsigned long lun, bool present);
// Between inputs: no request left inside the driver, and the driver's pool
// blocks ("TQM9") back to what the open channel holds (`baseline`, taken by
// the first call with a negative value).
void CheckBetweenInputs(long* baseline);

}  // namespace fuzzing::ifdworld
