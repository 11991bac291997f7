// Power manager primitives.
#pragma once

#include "platform/kernel/io.h"

using PREQUEST_POWER_COMPLETE = void (NTAPI *)(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                         PVOID Context, PIO_STATUS_BLOCK IoStatus);

// Sends a power request of its own to the top of the stack of the given
// physical device object and calls CompletionFunction when it completes.
NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp);
POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State);
void PoStartNextPowerIrp(PIRP Irp);
NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
