// The driver's load-time entry, its unload routine and the system-control
// handler: the dispatch table of the driver object.
#pragma once

#include "platform/kernel/wdm.h"

// Fills the dispatch table (create, close, cleanup, device control, system
// control, power, Plug and Play), names AddDevice and the unload routine,
// and resets the reader unit counter. Always STATUS_SUCCESS.
NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
// Nothing to do: every device's resources go with its removal.
void UnloadDriver(PDRIVER_OBJECT DriverObject);
// IRP_MJ_SYSTEM_CONTROL: passed to the lower driver in every state.
NTSTATUS DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
