// The gate in front of the smart-card library: which control codes the
// driver serves, the wait for a fresh card state, and the usability test.
#pragma once

#include "driver/device/device_context.h"

// The gate asks PollRequested at most this many times, this far apart.
constexpr ULONG PresencePollChecks = 100;
constexpr ULONG PresencePollCheckMilliseconds = 100;

// The 13 standard smart-card codes and the 8 vendor codes.
BOOLEAN IsServedControlCode(ULONG IoControlCode);

// STATUS_SUCCESS once the first presence poll after creation or resume has
// read the card state (PollRequested clear), STATUS_DEVICE_BUSY when it is
// still set after 100 checks 100 ms apart. Each check holds ReaderLock, so
// a request that arrives while a reader command runs waits for it.
NTSTATUS WaitForPresencePoll(PDEVICE_OBJECT DeviceObject);

// IRP_MJ_DEVICE_CONTROL. Codes the driver does not serve are completed at
// once with STATUS_SUCCESS and their information as it came; the others pass
// the gate (STATUS_DEVICE_BUSY, STATUS_DELETE_PENDING, STATUS_DEVICE_REMOVED
// when refused, information 0) and go to SmartcardDeviceControl, whose status
// is returned; a waiting tracking request stays with the library.
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
