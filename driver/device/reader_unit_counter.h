// The driver-wide count of readers, whose value each new reader takes as its
// unit number. Driver entry sets it to 0; device creation takes a number,
// teardown gives one back, never below 0. A reader created after another was
// removed may therefore share its unit number with a reader still present.
//
// The count is unsigned; it lives in a LONG because it only ever changes by
// interlocked operations: readers come and go on the Plug and Play threads
// of different devices at once.
#pragma once

#include "platform/kernel/wdm.h"

extern volatile LONG ReaderUnitCounter;

// Returns the counter's value and adds 1 to it, in one step.
ULONG TakeReaderUnitNumber();

// Subtracts 1 unless the counter is already 0.
void GiveBackReaderUnitNumber();
