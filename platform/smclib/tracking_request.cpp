// IOCTL_SMARTCARD_IS_PRESENT and IOCTL_SMARTCARD_IS_ABSENT: answered at
// once when the card state already answers them, otherwise kept in
// OsData->NotificationIrp for the reader's card-tracking function. From
// then on the driver owns the request: its card-state change, its cancel
// routine or its cleanup takes it out of the slot and completes it.
#include "platform/smclib/request.h"

namespace smclib::detail {
namespace {

bool StateAnswers(ULONG code, ULONG state) {
  return code == IOCTL_SMARTCARD_IS_PRESENT ? state > SCARD_ABSENT : state <= SCARD_ABSENT;
}

// Takes the request back out of the slot unless the driver already did.
bool TakeBack(PSMARTCARD_OS_DATA osData, PIRP irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  const bool mine = InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&osData->NotificationIrp),
                                                      nullptr, irp) == irp;
  if (mine) IoSetCancelRoutine(irp, nullptr);
  IoReleaseCancelSpinLock(irql);
  return mine;
}

}  // namespace

NTSTATUS ServeTrackingRequest(PSMARTCARD_EXTENSION SmartcardExtension, const Request& request) {
  SMARTCARD_LIBRARY_DATA* osData = LibraryData(SmartcardExtension);
  PIRP irp = request.irp;

  // The state is read and the request stored under the lock that the
  // driver's card-state change holds, so a change either comes before the
  // test or finds the request in the slot.
  KIRQL irql;
  KeAcquireSpinLock(&osData->SpinLock, &irql);
  NTSTATUS refusal = STATUS_SUCCESS;
  // The driver's cancel routine takes the slot with an interlocked exchange.
  if (__atomic_load_n(&osData->NotificationIrp, __ATOMIC_SEQ_CST) != nullptr) {
    refusal = STATUS_DEVICE_BUSY;
  } else if (StateAnswers(request.code, SmartcardExtension->ReaderCapabilities.CurrentState)) {
    KeReleaseSpinLock(&osData->SpinLock, irql);
    return CompleteRequest(irp, STATUS_SUCCESS, 0);
  } else if (SmartcardExtension->ReaderFunction[RDF_CARD_TRACKING] == nullptr) {
    refusal = STATUS_NOT_SUPPORTED;
  }
  if (refusal != STATUS_SUCCESS) {
    KeReleaseSpinLock(&osData->SpinLock, irql);
    return CompleteRequest(irp, refusal, 0);
  }
  irp->IoStatus.Information = 0;
  IoMarkIrpPending(irp);
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&osData->NotificationIrp), irp);
  IoReleaseCancelSpinLock(cancelIrql);
  KeReleaseSpinLock(&osData->SpinLock, irql);

  SmartcardExtension->MinorIoControlCode = 0;
  SmartcardExtension->IoRequest.RequestBuffer = nullptr;
  SmartcardExtension->IoRequest.RequestBufferLength = 0;
  SmartcardExtension->IoRequest.ReplyBuffer = nullptr;
  SmartcardExtension->IoRequest.ReplyBufferLength = 0;
  osData->ReplyLength = 0;
  SmartcardExtension->IoRequest.Information = &osData->ReplyLength;
  const NTSTATUS status = SmartcardExtension->ReaderFunction[RDF_CARD_TRACKING](SmartcardExtension);
  // After STATUS_PENDING the request may already be completed: not touched again.
  if (status != STATUS_PENDING && TakeBack(osData, irp)) {
    // The driver declined to track: the request ends with its answer. It
    // was marked pending, so STATUS_PENDING is returned all the same.
    CompleteRequest(irp, status, 0);
  }
  return STATUS_PENDING;
}

}  // namespace smclib::detail
