// Opening the reader, or one pipe of its interface by name, and closing.
// A handle opened with an empty name is a handle to the reader; a name that
// ends in a pipe number opens that pipe and marks it, so that removal aborts
// it. Every successful open holds the library's remove lock until its close,
// so removal waits for open handles.
#pragma once

#include "platform/kernel/wdm.h"

// PipeNumberFromName's answer when the name names no pipe.
constexpr ULONG NoPipe = 0xFFFFFFFF;
// Pipe numbers in a name are below this.
constexpr ULONG PipeNumberLimit = 6;

// The number formed by the last run of decimal digits in the name (what
// follows it is ignored), when it is below PipeNumberLimit and the device has
// pipe marks; NoPipe otherwise. Whether the interface has that many pipes is
// the caller's to check.
ULONG PipeNumberFromName(PDEVICE_OBJECT DeviceObject, PCUNICODE_STRING FileName);

// IRP_MJ_CREATE. Completes the request and returns:
// - STATUS_SUCCESS, holding the remove lock for the handle;
// - STATUS_DELETE_PENDING when the device is not usable;
// - STATUS_INVALID_PARAMETER when the name names no pipe;
// - STATUS_INSUFFICIENT_RESOURCES when the interface has no pipe of that number;
// - STATUS_DEVICE_REMOVED when removal refuses the remove lock (a pipe named
//   then stays marked until removal aborts it).
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// IRP_MJ_CLOSE: clears the mark of the pipe the handle named and gives back
// the handle's remove lock. Always STATUS_SUCCESS.
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
