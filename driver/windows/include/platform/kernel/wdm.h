// The kernel images' platform: MinGW-w64's DDK in place of the kernel
// stand-in, with the workarounds its headers need. Only the kernel image
// build puts this directory on the include path.
#pragma once

// wdm.h declares these two intrinsics once more after intrin.h has defined
// them; telling it they are defined keeps the second declaration out.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
// GCC 12 takes the segment read in __readgsqword (KeGetCurrentThread) for
// an access past a zero-length array.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#include <ddk/wdm.h>
#pragma GCC diagnostic pop

// Newer DDKs have these accessors; MinGW-w64 10's wdm.h does not.
FORCEINLINE UCHAR ReadUCharAcquire(UCHAR const volatile* Source) { return __atomic_load_n(Source, __ATOMIC_ACQUIRE); }
FORCEINLINE VOID WriteUCharRelease(UCHAR volatile* Destination, UCHAR Value) {
  __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}
FORCEINLINE PVOID ReadPointerAcquire(PVOID const volatile* Source) {
  return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}

// The sizes the kernel stand-in claims for the platform's records.
#include "platform/kernel/layout.h"
