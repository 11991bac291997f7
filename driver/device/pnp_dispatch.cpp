// DispatchPnp: the common entry, the query and cancel requests, and what
// passes through.
#include "driver/device/io_count.h"
#include "driver/device/pnp.h"
#include "driver/device/pnp_steps.h"

namespace {

// Query-remove: from now on no reader command is sent. The interface goes
// away at once so that no new handle is opened; it stays disabled even if
// the removal is cancelled.
NTSTATUS HandleQueryRemove(DeviceContext* Context, PIRP Irp) {
  if (Context->DeviceStarted == 0) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassPnpDown(Context, Irp);
  }
  Context->RemovePending = 1;
  KeWaitForSingleObject(&Context->IoIdleEvent, Executive, KernelMode, FALSE, nullptr);
  const NTSTATUS status = IoSetDeviceInterfaceState(&Context->SymbolicLinkName, FALSE);
  if (!NT_SUCCESS(status)) return CompletePnp(Irp, status);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  return PassPnpDown(Context, Irp);
}

// The query and cancel requests of a started device move one flag.
NTSTATUS SetFlagAndPassDown(DeviceContext* Context, PIRP Irp, UCHAR* Flag, UCHAR Value) {
  if (Context->DeviceStarted != 0) *Flag = Value;
  Irp->IoStatus.Status = STATUS_SUCCESS;
  return PassPnpDown(Context, Irp);
}

}  // namespace

NTSTATUS PassPnpDown(DeviceContext* Context, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IofCallDriver(Context->AttachedDeviceObject, Irp);
}

NTSTATUS CompletePnp(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = 0;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  const UCHAR minorFunction = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
  IoIncrement(DeviceObject);
  NTSTATUS status = SmartcardAcquireRemoveLock(&context->SmartcardExtension);
  if (!NT_SUCCESS(status)) {
    CompletePnp(Irp, status);
    IoDecrement(DeviceObject);
    return status;
  }

  switch (minorFunction) {
    case IRP_MN_START_DEVICE:
      return HandleStartDevice(DeviceObject, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
      return HandleSurpriseRemoval(DeviceObject, Irp);
    case IRP_MN_REMOVE_DEVICE:
      return HandleRemoveDevice(DeviceObject, Irp);
    case IRP_MN_STOP_DEVICE:
      status = HandleStopDevice(DeviceObject, Irp);
      break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
      status = HandleQueryRemove(context, Irp);
      break;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      status = SetFlagAndPassDown(context, Irp, &context->RemovePending, 0);
      break;
    case IRP_MN_QUERY_STOP_DEVICE:
      status = SetFlagAndPassDown(context, Irp, &context->StopPending, 1);
      break;
    case IRP_MN_CANCEL_STOP_DEVICE:
      status = SetFlagAndPassDown(context, Irp, &context->StopPending, 0);
      break;
    default:
      status = PassPnpDown(context, Irp);
      break;
  }
  SmartcardReleaseRemoveLock(&context->SmartcardExtension);
  IoDecrement(DeviceObject);
  return status;
}
