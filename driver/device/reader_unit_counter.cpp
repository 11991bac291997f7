// ReaderUnitCounter.
#include "driver/device/reader_unit_counter.h"

volatile LONG ReaderUnitCounter = 0;

ULONG TakeReaderUnitNumber() { return static_cast<ULONG>(InterlockedIncrement(&ReaderUnitCounter) - 1); }

void GiveBackReaderUnitNumber() {
  LONG seen = InterlockedCompareExchange(&ReaderUnitCounter, 0, 0);
  while (seen != 0) {
    const LONG previous = InterlockedCompareExchange(&ReaderUnitCounter, seen - 1, seen);
    if (previous == seen) return;
    seen = previous;
  }
}
