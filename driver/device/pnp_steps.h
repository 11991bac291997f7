// The sequences DispatchPnp runs, one file each. The start, surprise-removal
// and removal handlers give back the request's remove lock and I/O count
// themselves; the others leave that to DispatchPnp.
#pragma once

#include "driver/device/device_context.h"

// The lower driver's status is what DispatchPnp returns.
NTSTATUS PassPnpDown(DeviceContext* Context, PIRP Irp);
NTSTATUS CompletePnp(PIRP Irp, NTSTATUS Status);

NTSTATUS HandleStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
