// SetCardState: the card state, and the completion of the waiting
// tracking request on a change.
#include "driver/tracking/card_presence.h"
#include "driver/tracking/card_tracking.h"
#include "driver/tracking/tracking_request.h"

BOOLEAN CardStateChangeCompletes(BOOLEAN PresentBefore, UCHAR Present, UCHAR SuppressCompletion) {
  if (SuppressCompletion != 0) return FALSE;
  // A card reported present again (the device going to D3 with the card
  // inserted) completes the request too: the resource manager asks anew.
  return PresentBefore || Present == 1 ? TRUE : FALSE;
}

void SetCardState(DeviceContext* Context, UCHAR Present, UCHAR SuppressCompletion) {
  SMARTCARD_EXTENSION& extension = Context->SmartcardExtension;
  const PSMARTCARD_OS_DATA osData = extension.OsData;
  const ULONG newState = Present == 1 ? SCARD_PRESENT : SCARD_ABSENT;
  if (osData == nullptr) {
    // Before the library's data exist nobody can wait for a change.
    extension.ReaderCapabilities.CurrentState = newState;
    return;
  }

  KIRQL osIrql;
  KeAcquireSpinLock(&osData->SpinLock, &osIrql);
  const BOOLEAN presentBefore = CardStateShowsCard(extension.ReaderCapabilities.CurrentState);
  extension.ReaderCapabilities.CurrentState = newState;

  PIRP irp = nullptr;
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  if (CardStateChangeCompletes(presentBefore, Present, SuppressCompletion)) {
    irp = TakeTrackingRequestLocked(osData, nullptr);
  }
  IoReleaseCancelSpinLock(cancelIrql);

  if (irp != nullptr) {
    // Once the request is out of the slot with its cancel routine cleared, no
    // cancellation can reach it any more: a request cancelled before its
    // routine was in place, or since the cancel spin lock was released, is
    // finished here as cancelled.
    CompleteTrackingRequest(irp, irp->Cancel ? STATUS_CANCELLED : STATUS_SUCCESS);
  }
  KeReleaseSpinLock(&osData->SpinLock, osIrql);
}
