// Power manager primitives. PoRequestPowerIrp sends a device power request of
// the driver's own down the device's whole stack, from the top, and calls the
// requester back when the request completes.
#include "platform/kernel/iomgr.h"

namespace {

struct PowerRequest {
  PDEVICE_OBJECT target;
  UCHAR minor;
  POWER_STATE state;
  PREQUEST_POWER_COMPLETE callback;
  PVOID context;
};

NTSTATUS PowerRequestDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  auto request = static_cast<PowerRequest*>(Context);
  if (request->callback != nullptr) {
    request->callback(request->target, request->minor, request->state, request->context, &Irp->IoStatus);
  }
  delete request;
  IoFreeIrp(Irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
  if (Irp != nullptr) *Irp = nullptr;
  if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_WAIT_WAKE) {
    return STATUS_INVALID_PARAMETER;
  }
  PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
  // One location more than the stack needs: the power manager's own, whose
  // completion routine calls the requester back.
  PIRP irp = IoAllocateIrp(static_cast<CCHAR>(top->StackSize + 1), FALSE);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  IoSetNextIrpStackLocation(irp);
  IoGetCurrentIrpStackLocation(irp)->DeviceObject = DeviceObject;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = MinorFunction;
  if (MinorFunction == IRP_MN_WAIT_WAKE) {
    next->Parameters.WaitWake.PowerState = PowerState.SystemState;
  } else {
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State = PowerState;
  }
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  auto request = new PowerRequest{DeviceObject, MinorFunction, PowerState, CompletionFunction, Context};
  IoSetCompletionRoutine(irp, PowerRequestDone, request, TRUE, TRUE, TRUE);
  if (Irp != nullptr) *Irp = irp;
  IofCallDriver(top, irp);
  return STATUS_PENDING;
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  kernel::DevicePowerRecord& record = DeviceObject->DeviceObjectExtension->Power;
  POWER_STATE previous;
  if (Type == SystemPowerState) {
    previous.SystemState = record.system;
    record.system = State.SystemState;
  } else {
    previous.DeviceState = record.device;
    record.device = State.DeviceState;
  }
  return previous;
}

void PoStartNextPowerIrp(PIRP Irp) {
  PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
  if (device != nullptr) device->DeviceObjectExtension->Power.startNextPowerIrpCalls++;
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return IofCallDriver(DeviceObject, Irp); }

namespace kernel {

DevicePowerRecord PowerRecord(PDEVICE_OBJECT deviceObject) { return deviceObject->DeviceObjectExtension->Power; }

}  // namespace kernel
