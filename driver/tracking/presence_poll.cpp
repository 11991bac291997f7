// The presence poll: arming, the timer's DPC, the work routine, and stopping.
#include "driver/tracking/presence_poll.h"

#include "driver/reader/delay.h"
#include "driver/reader/reader_commands.h"
#include "driver/reader/reader_lock.h"
#include "driver/tracking/card_presence.h"
#include "driver/tracking/card_tracking.h"

namespace {

BOOLEAN TrackingRequestWaits(const DeviceContext* Context) {
  const PSMARTCARD_OS_DATA osData = Context->SmartcardExtension.OsData;
  if (osData == nullptr) return FALSE;
  const PVOID waiting = InterlockedCompareExchangePointer(
      reinterpret_cast<PVOID volatile*>(&osData->NotificationIrp), nullptr, nullptr);
  return waiting != nullptr ? TRUE : FALSE;
}

// Removal waits for the count to reach 0, so it never goes below.
void CountWorkItemDone(DeviceContext* Context) {
  LONG pending = InterlockedCompareExchange(&Context->WorkItemsPending, 0, 0);
  while (pending > 0) {
    const LONG seen = InterlockedCompareExchange(&Context->WorkItemsPending, pending - 1, pending);
    if (seen == pending) return;
    pending = seen;
  }
}

}  // namespace

void ArmPresencePoll(DeviceContext* Context) {
  // Tested without the lock: whoever queues a request or sets PollRequested
  // after this test arms the poll itself.
  if (!TrackingRequestWaits(Context) && ReadUCharAcquire(&Context->PollRequested) == 0) return;
  KIRQL oldIrql;
  KeAcquireSpinLock(&Context->PollLock, &oldIrql);
  // One timer at a time: the work item record is then never queued twice.
  if (Context->TimerArmed < 1 && Context->PollStopping == 0) {
    LARGE_INTEGER dueTime;
    dueTime.QuadPart = PresencePollDelay;
    KeSetTimer(&Context->PollTimer, dueTime, &Context->PollDpc);
    Context->TimerArmed = 1;
  }
  KeReleaseSpinLock(&Context->PollLock, oldIrql);
}

void DisarmPresencePoll(DeviceContext* Context) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&Context->PollLock, &oldIrql);
  if (Context->TimerArmed > 0) Context->TimerArmed = 0;
  KeReleaseSpinLock(&Context->PollLock, oldIrql);
}

void AllowPresencePoll(DeviceContext* Context) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&Context->PollLock, &oldIrql);
  Context->PollStopping = 0;
  KeReleaseSpinLock(&Context->PollLock, oldIrql);
  WriteUCharRelease(&Context->PollRequested, 1);
  ArmPresencePoll(Context);
}

void StopPresencePoll(DeviceContext* Context) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&Context->PollLock, &oldIrql);
  Context->PollStopping = 1;
  WriteUCharRelease(&Context->PollRequested, 0);
  for (ULONG wait = 0; wait < PresencePollStopWaits; ++wait) {
    if (Context->TimerArmed < 1) {
      KeReleaseSpinLock(&Context->PollLock, oldIrql);
      return;
    }
    KeReleaseSpinLock(&Context->PollLock, oldIrql);
    DelayMilliseconds(PresencePollStopWaitMilliseconds);
    KeAcquireSpinLock(&Context->PollLock, &oldIrql);
  }
  const BOOLEAN stillArmed = Context->TimerArmed > 0 ? TRUE : FALSE;
  if (stillArmed) {
    KeCancelTimer(&Context->PollTimer);
    Context->TimerArmed = 0;
  }
  KeReleaseSpinLock(&Context->PollLock, oldIrql);
  // A timer that had already fired may have its DPC still queued. Once the
  // DPC has run, its work item is counted in WorkItemsPending, which is
  // what teardown waits for; before, teardown could free the device under it.
  if (stillArmed) KeFlushQueuedDpcs();
}

void NTAPI PresencePollDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
  const auto device = static_cast<PDEVICE_OBJECT>(DeferredContext);
  DeviceContext* context = GetDeviceContext(device);
  const PWORK_QUEUE_ITEM item = context->PollWorkItem;
  if (item == nullptr) return;
  InterlockedIncrement(&context->WorkItemsPending);
  // The reader is asked at PASSIVE_LEVEL, on a worker thread: a DPC may not wait.
  ExInitializeWorkItem(item, PresencePollWork, device);
  ExQueueWorkItem(item, CriticalWorkQueue);
}

void NTAPI PresencePollWork(PVOID Parameter) {
  const auto device = static_cast<PDEVICE_OBJECT>(Parameter);
  DeviceContext* context = GetDeviceContext(device);
  DisarmPresencePoll(context);

  // The decision and SetCardState run under ReaderLock, so a poll never
  // comes between the commands of a card power, transmit or eject.
  AcquireReaderLock(context);
  const BOOLEAN presentBefore = CardStateShowsCard(context->SmartcardExtension.ReaderCapabilities.CurrentState);
  NTSTATUS status = PresencePollReaderAsleep;
  if (GetReaderExtension(context)->ReaderPowerState == ReaderPowered) status = GetReaderStatus(device);
  const POLL_OUTCOME outcome = DecidePollOutcome(status, presentBefore, context->ReaderStatus);
  // The card state is known once a read succeeded; device control stops waiting for it.
  if (outcome != PollOutcomeRetry) WriteUCharRelease(&context->PollRequested, 0);
  switch (outcome) {
    case PollOutcomeCardInserted:
      SetCardState(context, 1, 0);
      break;
    case PollOutcomeCardRemoved:
      SetCardState(context, 0, 0);
      break;
    case PollOutcomeRetry:
    case PollOutcomeNoChange:
      ArmPresencePoll(context);
      break;
  }
  ReleaseReaderLock(context);
  // The last touch of the device: teardown may free it once the count is 0.
  CountWorkItemDone(context);
}
