// The presence poll: the reader says whether a card sits in its slot only
// when asked, so a one-shot 500 ms timer fires a DPC, the DPC queues the
// device's work item on the critical work queue, and the work routine asks
// the reader for its status and reports a change through SetCardState.
//
// The poll runs only while somebody waits for its answer: a card-tracking
// request in OsData->NotificationIrp, or PollRequested (set at creation and
// on every return to working power, cleared by the first status read that
// succeeds after it). Once a change has been reported the timer is not armed
// again: the change completes the tracking request, and the next one arms
// the poll anew.
//
// PollLock guards TimerArmed and PollStopping. Lock order: ReaderLock before
// PollLock; nothing takes ReaderLock while it holds PollLock.
#pragma once

#include "driver/device/device_context.h"

// The timer's relative due time, in 100-ns units: 500 ms.
constexpr LONGLONG PresencePollDelay = -5'000'000;
// StopPresencePoll waits this many times this long for an armed timer to fire.
constexpr ULONG PresencePollStopWaits = 10;
constexpr ULONG PresencePollStopWaitMilliseconds = 100;
// The result the work routine takes when the reader may not be asked.
constexpr NTSTATUS PresencePollReaderAsleep = STATUS_DEVICE_BUSY;

// What the work routine does with one status read.
enum POLL_OUTCOME : UCHAR {
  // The read failed (or the reader may not be asked): the card state and
  // PollRequested stay; the poll is armed again if somebody waits.
  PollOutcomeRetry,
  // The read succeeded and the card is as it was: arm again if somebody waits.
  PollOutcomeNoChange,
  // The read succeeded and a card appeared: SetCardState(present), no arming.
  PollOutcomeCardInserted,
  // The read succeeded and the card vanished: SetCardState(absent), no arming.
  PollOutcomeCardRemoved,
};

// Status is the status read's result; STATUS_TIMEOUT is not an error status
// and counts as a read (a new-generation reader that did not answer then
// reports 0x20, no card). PresentBefore is the card state before the read.
POLL_OUTCOME DecidePollOutcome(NTSTATUS Status, BOOLEAN PresentBefore, UCHAR ReaderStatus);

// Sets the timer to fire in 500 ms when a tracking request waits or
// PollRequested is set, no timer is armed yet and the poll is not stopped.
// Callable at or below DISPATCH_LEVEL.
void ArmPresencePoll(DeviceContext* Context);

// Device creation and every start: the poll may run again (PollStopping
// cleared) and reads the card state afresh (PollRequested set, which holds
// device control back until then), so it is armed at once. PollLock must
// have been initialised.
void AllowPresencePoll(DeviceContext* Context);

// Refuses every later arming (until AllowPresencePoll),
// clears PollRequested, and waits up to 10 x 100 ms for an armed timer to
// reach its work routine; a timer that has not by then is cancelled. A work
// routine that is queued or running when this returns still runs to its end;
// teardown waits for WorkItemsPending to reach 0. PASSIVE_LEVEL only.
void StopPresencePoll(DeviceContext* Context);

// The DPC routine of PollTimer; DeferredContext is the device object. It
// never waits and allocates nothing.
void NTAPI PresencePollDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);

// The work routine; Parameter is the device object. PASSIVE_LEVEL.
void NTAPI PresencePollWork(PVOID Parameter);

// The work routine's first step: TimerArmed back to 0, so the routine may
// arm the timer again.
void DisarmPresencePoll(DeviceContext* Context);
