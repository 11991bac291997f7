// The driver's load-time entry, its unload routine and the system-control
// handler: the dispatch table of the driver object.
#pragma once

#include "driver/public/driver.h"

// Nothing to do: every device's resources go with its removal.
void NTAPI UnloadDriver(PDRIVER_OBJECT DriverObject);
// IRP_MJ_SYSTEM_CONTROL: passed to the lower driver in every state.
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
