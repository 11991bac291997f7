#include "driver/dispatch/power.h"

#include "driver/device/add_device.h"
#include "driver/device/io_count.h"
#include "driver/reader/reader_commands.h"
#include "driver/reader/reader_lock.h"
#include "driver/tracking/card_presence.h"
#include "driver/tracking/card_tracking.h"
#include "driver/tracking/presence_poll.h"

namespace {

// Passes a power request down, with a completion routine when one is named.
NTSTATUS PassPowerDown(DeviceContext* context, PIRP Irp, PIO_COMPLETION_ROUTINE Routine, PVOID RoutineContext) {
  IoCopyCurrentIrpStackLocationToNext(Irp);
  if (Routine != nullptr) IoSetCompletionRoutine(Irp, Routine, RoutineContext, TRUE, TRUE, TRUE);
  PoStartNextPowerIrp(Irp);
  return PoCallDriver(context->AttachedDeviceObject, Irp);
}

void ReleaseRequest(PDEVICE_OBJECT DeviceObject, DeviceContext* context) {
  SmartcardReleaseRemoveLock(&context->SmartcardExtension);
  IoDecrement(DeviceObject);
}

NTSTATUS SetSystemPower(PDEVICE_OBJECT DeviceObject, DeviceContext* context, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  const SYSTEM_POWER_STATE system = stack->Parameters.Power.State.SystemState;
  POWER_STATE device;
  device.DeviceState = DeviceStateForSystemState(context->DeviceCapabilities, context->WaitWakePending, system);

  // The device goes first, on the way to sleep and on the way back alike.
  KeInitializeEvent(&context->PowerRequestEvent, NotificationEvent, FALSE);
  PoRequestPowerIrp(context->PhysicalDeviceObject, IRP_MN_SET_POWER, device, PowerRequestComplete,
                    &context->PowerRequestEvent, nullptr);
  LARGE_INTEGER wait;
  wait.QuadPart = DevicePowerRequestWait;
  // A device request that fails or never completes costs the wait, and the system request goes on.
  KeWaitForSingleObject(&context->PowerRequestEvent, Executive, KernelMode, FALSE, &wait);

  SmartcardReleaseRemoveLock(&context->SmartcardExtension);
  if (system == PowerSystemWorking) PoSetPowerState(DeviceObject, SystemPowerState, stack->Parameters.Power.State);
  // The request's I/O count goes back in SystemPowerComplete, after its last touch of the device.
  return PassPowerDown(context, Irp, SystemPowerComplete, context);
}

NTSTATUS SetDevicePower(PDEVICE_OBJECT DeviceObject, DeviceContext* context, PIRP Irp) {
  const DEVICE_POWER_STATE state = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.DeviceState;
  const BOOLEAN toD0 = SetDevicePowerState(DeviceObject, state);

  READER_EXTENSION* reader = context->SmartcardExtension.ReaderExtension;
  if (state == PowerDeviceD3 && reader->ReaderPowerState != ReaderPoweredDown) {
    // From here on the presence poll leaves the reader alone.
    reader->ReaderPowerState = ReaderPoweredDown;
    reader->CardPresentAtPowerDown =
        context->SmartcardExtension.ReaderCapabilities.CurrentState > SCARD_ABSENT ? 1 : 0;
    if (reader->CardPresentAtPowerDown != 0) CheckCardAtPowerDown(DeviceObject);
  }

  if (toD0) return PassPowerDown(context, Irp, DeviceD0Complete, context);
  const NTSTATUS status = PassPowerDown(context, Irp, nullptr, nullptr);
  ReleaseRequest(DeviceObject, context);
  return status;
}

NTSTATUS WaitWake(PDEVICE_OBJECT DeviceObject, DeviceContext* context, PIRP Irp) {
  if (context->CurrentDeviceState == PowerDeviceD0 ||
      context->DeviceCapabilities.DeviceWake > context->CurrentDeviceState) {
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_STATE;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    ReleaseRequest(DeviceObject, context);
    return STATUS_INVALID_DEVICE_STATE;
  }
  context->WaitWakePending = 1;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  // The sending thread is held until the request comes back from below.
  if (PassPowerDown(context, Irp, ForwardAndWaitComplete, &event) == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  }
  context->WaitWakePending = 0;
  const NTSTATUS status = Irp->IoStatus.Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  ReleaseRequest(DeviceObject, context);
  return status;
}

}  // namespace

DEVICE_POWER_STATE DeviceStateForSystemState(const DEVICE_CAPABILITIES& Capabilities, UCHAR WaitWakePending,
                                             SYSTEM_POWER_STATE SystemState) {
  if (SystemState == PowerSystemWorking) return PowerDeviceD0;
  if (WaitWakePending == 0) return PowerDeviceD3;
  // The mapping has an entry for each system state; a state outside it, or
  // an entry the bus driver left unspecified, sends the device to D3.
  if (SystemState <= PowerSystemUnspecified || SystemState >= PowerSystemMaximum) return PowerDeviceD3;
  const DEVICE_POWER_STATE mapped = Capabilities.DeviceState[SystemState];
  return mapped >= PowerDeviceD0 && mapped <= PowerDeviceD3 ? mapped : PowerDeviceD3;
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  IoIncrement(DeviceObject);
  NTSTATUS status = SmartcardAcquireRemoveLock(&context->SmartcardExtension);
  if (!NT_SUCCESS(status)) {
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    IoDecrement(DeviceObject);
    return status;
  }

  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
      return stack->Parameters.Power.Type == SystemPowerState ? SetSystemPower(DeviceObject, context, Irp)
                                                               : SetDevicePower(DeviceObject, context, Irp);
    case IRP_MN_WAIT_WAKE:
      return WaitWake(DeviceObject, context, Irp);
    default:
      status = PassPowerDown(context, Irp, nullptr, nullptr);
      ReleaseRequest(DeviceObject, context);
      return status;
  }
}

void NTAPI PowerRequestComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState, PVOID Context,
                                PIO_STATUS_BLOCK IoStatus) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(MinorFunction);
  UNREFERENCED_PARAMETER(PowerState);
  UNREFERENCED_PARAMETER(IoStatus);
  KeSetEvent(static_cast<PKEVENT>(Context), 1, FALSE);
}

NTSTATUS NTAPI DeviceD0Complete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  auto context = static_cast<DeviceContext*>(Context);
  if (Irp->PendingReturned) IoMarkIrpPending(Irp);
  PoSetPowerState(DeviceObject, DevicePowerState, IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State);
  context->CurrentDeviceState = PowerDeviceD0;
  // The device is treated as in D0 even when the lower driver failed the request.
  Irp->IoStatus.Status = STATUS_SUCCESS;
  WriteUCharRelease(&context->PollRequested, 1);
  ArmPresencePoll(context);
  // Given back after the last touch: a removal waiting for them may free the device at once.
  IoDecrement(DeviceObject);
  SmartcardReleaseRemoveLock(&context->SmartcardExtension);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI SystemPowerComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  auto context = static_cast<DeviceContext*>(Context);
  if (Irp->PendingReturned) IoMarkIrpPending(Irp);
  if (IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.SystemState == PowerSystemWorking) {
    context->SmartcardExtension.ReaderExtension->ReaderPowerState = ReaderPowered;
    WriteUCharRelease(&context->PollRequested, 1);
    ArmPresencePoll(context);
  }
  // The system request's own count, given back after the last touch.
  IoDecrement(DeviceObject);
  return STATUS_SUCCESS;
}

NTSTATUS CheckCardAtPowerDown(PDEVICE_OBJECT DeviceObject) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  AcquireReaderLock(context);
  GetReaderStatus(DeviceObject);
  const UCHAR present = CardPowerSeesCard(context->ReaderStatus) ? 1 : 0;
  SetCardState(context, present, 0);
  ReleaseReaderLock(context);
  return present != 0 ? STATUS_SUCCESS : STATUS_NO_MEDIA;
}

BOOLEAN SetDevicePowerState(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE State) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  if (State == PowerDeviceD0) {
    context->CurrentDeviceState = PowerDeviceD0;
    return TRUE;
  }
  if (State >= PowerDeviceD1 && State <= PowerDeviceD3) context->CurrentDeviceState = State;
  POWER_STATE power;
  power.DeviceState = State;
  PoSetPowerState(DeviceObject, DevicePowerState, power);
  return FALSE;
}
