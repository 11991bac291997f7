// Plug and Play: start, the query/cancel pairs for stop and removal, stop,
// surprise removal and removal. The four state flags written here decide
// whether a reader command may be sent (IsDeviceUsable).
#pragma once

#include "platform/kernel/wdm.h"

// The IRP_MJ_PNP handler. Every request is counted and held under the
// library's remove lock while it is handled; a request that finds removal
// under way is completed with the remove lock's refusal. Returns the status
// the request was completed with, or the lower driver's.
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Configures the device (the first time by reading its descriptors, after a
// stop or a failed start by selecting the kept configuration again), marks it
// started once it has its two bulk pipes, reads the firmware version, the
// reader status and, with a card, the ATR, reports the card state and
// enables the reader interface. Returns:
// - STATUS_SUCCESS (IoSetDeviceInterfaceState's success status);
// - a failure of the descriptor reads or the selection, logged 0xC0100003
//   when it is STATUS_INSUFFICIENT_RESOURCES, else 0xC0100002;
// - STATUS_DEVICE_DATA_ERROR (logged 0xC0100002) when the selected interface
//   lacks one bulk-in and one bulk-out pipe; the device is not started then;
// - IoSetDeviceInterfaceState's failure, logged the same; the device stays
//   marked started.
// Failures of the reader commands are not reported; a firmware older than
// 1.02 is logged (0x80100007) and the start goes on.
NTSTATUS StartReaderDevice(PDEVICE_OBJECT DeviceObject);

// Disables the reader interface, completes a waiting tracking request,
// waits until every holder of the library's remove lock (open handles among
// them) has let go, lets the library go, frees every block the device owns
// and gives back its unit number. Returns STATUS_SUCCESS.
NTSTATUS ReleaseDeviceResources(PDEVICE_OBJECT DeviceObject);
