// CardTracking, the cancel routine of the waiting request, and cleanup.
#include "driver/tracking/card_tracking.h"

#include "driver/tracking/presence_poll.h"
#include "driver/tracking/tracking_request.h"

PIRP TakeTrackingRequestLocked(PSMARTCARD_OS_DATA OsData, PIRP Expected) {
  const auto slot = reinterpret_cast<PVOID volatile*>(&OsData->NotificationIrp);
  PIRP irp;
  if (Expected != nullptr) {
    irp = InterlockedCompareExchangePointer(slot, nullptr, Expected) == Expected ? Expected : nullptr;
  } else {
    irp = static_cast<PIRP>(InterlockedExchangePointer(slot, nullptr));
  }
  if (irp != nullptr) IoSetCancelRoutine(irp, nullptr);
  return irp;
}

void CompleteTrackingRequest(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI CardTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
  DeviceContext* context = CONTAINING_RECORD(SmartcardExtension, DeviceContext, SmartcardExtension);
  const PSMARTCARD_OS_DATA osData = SmartcardExtension->OsData;
  PIRP cancelled = nullptr;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  // The slot is read atomically: the presence poll and the library read and
  // swap it without the cancel spin lock.
  const PIRP irp = osData != nullptr ? static_cast<PIRP>(ReadPointerAcquire(
                                           reinterpret_cast<PVOID const volatile*>(&osData->NotificationIrp)))
                                     : nullptr;
  if (irp != nullptr) {
    IoSetCancelRoutine(irp, CancelCardTracking);
    // A request cancelled before its routine was in place found nothing to
    // call, and would wait for the next card change; the flag is tested
    // under the cancel spin lock, so no cancellation slips in between.
    if (irp->Cancel) cancelled = TakeTrackingRequestLocked(osData, irp);
  }
  IoReleaseCancelSpinLock(irql);

  if (cancelled != nullptr) {
    CompleteTrackingRequest(cancelled, STATUS_CANCELLED);
  } else {
    ArmPresencePoll(context);
  }
  return STATUS_PENDING;
}

void NTAPI CancelCardTracking(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  const PSMARTCARD_OS_DATA osData = GetDeviceContext(DeviceObject)->SmartcardExtension.OsData;
  // Only the request in the slot carries this routine.
  TakeTrackingRequestLocked(osData, Irp);
  IoSetCancelRoutine(Irp, nullptr);
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  CompleteTrackingRequest(Irp, STATUS_CANCELLED);
}

void CompleteTrackingAtRemoval(DeviceContext* Context) {
  const PSMARTCARD_OS_DATA osData = Context->SmartcardExtension.OsData;
  if (osData == nullptr) return;
  KIRQL osIrql;
  KeAcquireSpinLock(&osData->SpinLock, &osIrql);
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  const PIRP irp = TakeTrackingRequestLocked(osData, nullptr);
  IoReleaseCancelSpinLock(cancelIrql);
  if (irp != nullptr) CompleteTrackingRequest(irp, irp->Cancel ? STATUS_CANCELLED : STATUS_SUCCESS);
  KeReleaseSpinLock(&osData->SpinLock, osIrql);
}

NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  const PSMARTCARD_OS_DATA osData = GetDeviceContext(DeviceObject)->SmartcardExtension.OsData;
  if (osData != nullptr) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    // Tested under the lock: SetCardState or the cancel routine may have
    // emptied the slot a moment ago.
    const PIRP waiting = TakeTrackingRequestLocked(osData, nullptr);
    IoReleaseCancelSpinLock(irql);
    if (waiting != nullptr) CompleteTrackingRequest(waiting, STATUS_CANCELLED);
  }
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}
