// ReaderLock: the per-device lock that serialises every use of the reader.
// Re-entrant for the thread that holds it; another thread polls for it every
// 100 ms. Not a dispatcher object, so it must be taken below DISPATCH_LEVEL.
#pragma once

#include "driver/device/device_context.h"

// Both return STATUS_SUCCESS. A release by a thread that does not hold the
// lock changes nothing.
NTSTATUS AcquireReaderLock(DeviceContext* Context);
NTSTATUS ReleaseReaderLock(DeviceContext* Context);
