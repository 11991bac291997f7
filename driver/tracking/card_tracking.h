// The card-tracking request and the card state. The smart-card library keeps
// a waiting IOCTL_SMARTCARD_IS_PRESENT or IS_ABSENT in OsData->NotificationIrp
// and calls CardTracking, its RDF_CARD_TRACKING reader function, which makes
// it cancellable and starts the poll. SetCardState is the one place where the
// driver writes SCARD_PRESENT or SCARD_ABSENT, and completes the waiting
// request on a change; CancelCardTracking and DispatchCleanup finish it as
// cancelled.
//
// The slot and the request's cancel routine change only by atomic exchanges
// under the system cancel spin lock, so exactly one path takes the request
// out of the slot and completes it. Lock order: ReaderLock, then
// OsData->SpinLock, then the cancel spin lock.
#pragma once

#include "driver/device/device_context.h"

// RDF_CARD_TRACKING: makes the waiting request cancellable and arms the
// poll; STATUS_PENDING (the request stays in the library's slot).
NTSTATUS NTAPI CardTracking(PSMARTCARD_EXTENSION SmartcardExtension);

// Whether SetCardState completes a waiting request: not when told to leave it
// alone, and not when there was no card before and there is none now.
BOOLEAN CardStateChangeCompletes(BOOLEAN PresentBefore, UCHAR Present, UCHAR SuppressCompletion);

// Writes CurrentState: SCARD_PRESENT when Present is 1 (any other value
// means absent), else SCARD_ABSENT; then completes a waiting tracking request
// with STATUS_SUCCESS unless CardStateChangeCompletes says no. A request
// that was cancelled before anybody could run its cancel routine is
// completed with STATUS_CANCELLED instead. Callable at or below DISPATCH_LEVEL.
void SetCardState(DeviceContext* Context, UCHAR Present, UCHAR SuppressCompletion);

// The cancel routine of the waiting request: called by the I/O manager with
// the cancel spin lock held, which it releases.
void NTAPI CancelCardTracking(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Removal: a tracking request still waiting is completed with
// STATUS_SUCCESS, under OsData->SpinLock and the cancel spin lock as
// SetCardState takes it, so it is completed exactly once; one whose
// cancellation has begun is finished as cancelled.
void CompleteTrackingAtRemoval(DeviceContext* Context);

// IRP_MJ_CLEANUP: cancels the device's waiting tracking request, whichever
// handle is cleaned up, and completes the cleanup request with STATUS_SUCCESS.
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
