// One-shot and periodic timers, DPCs, and the DPC thread that runs them at
// DISPATCH_LEVEL. The DPC thread sleeps until the earliest timer is due, so in
// simulated time an armed timer is just another deadline.
#include <map>
#include <unordered_map>

#include "platform/kernel/scheduler.h"

using kernel::detail::TheScheduler;

namespace kernel::detail {
namespace {

constexpr UCHAR kTimerNotification = 8;
constexpr UCHAR kTimerSynchronization = 9;
constexpr UCHAR kDpcObject = 0x13;
PVOID const kQueuedMark = reinterpret_cast<PVOID>(1);

struct TimerKey {
  LONGLONG due;
  ULONGLONG sequence;  // keeps timers due at the same time in the order they were set
  bool operator<(const TimerKey& o) const { return due != o.due ? due < o.due : sequence < o.sequence; }
};

// All under the scheduler lock.
struct DpcState {
  std::map<TimerKey, KTIMER*> timers;
  std::unordered_map<KTIMER*, TimerKey> keyOf;
  ULONGLONG sequence = 0;
  std::deque<KDPC*> queue;
  KEVENT wake;
  bool stopping = false;
  std::shared_ptr<WakeSignal> ended;  // of the DPC thread
};

DpcState& State() {
  static DpcState state;
  return state;
}

void RemoveTimerLocked(KTIMER* timer) {
  DpcState& d = State();
  auto it = d.keyOf.find(timer);
  if (it != d.keyOf.end()) {
    d.timers.erase(it->second);
    d.keyOf.erase(it);
  }
  timer->Header.Inserted = 0;
}

void InsertTimerLocked(KTIMER* timer, LONGLONG due) {
  DpcState& d = State();
  TimerKey key{due, d.sequence++};
  d.timers.emplace(key, timer);
  d.keyOf.emplace(timer, key);
  timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
  timer->Header.Inserted = 1;
}

bool QueueDpcLocked(KDPC* dpc, PVOID argument1, PVOID argument2) {
  if (dpc->DpcData != nullptr) return false;
  dpc->DpcData = kQueuedMark;
  dpc->SystemArgument1 = argument1;
  dpc->SystemArgument2 = argument2;
  State().queue.push_back(dpc);
  TheScheduler().SignalLocked(&State().wake.Header);
  return true;
}

void FireExpiredTimersLocked() {
  DpcState& d = State();
  Scheduler& s = TheScheduler();
  const LONGLONG now = s.NowLocked();
  while (!d.timers.empty() && d.timers.begin()->first.due <= now) {
    KTIMER* timer = d.timers.begin()->second;
    RemoveTimerLocked(timer);
    s.SignalLocked(&timer->Header);
    if (timer->Period > 0) {
      InsertTimerLocked(timer, static_cast<LONGLONG>(timer->DueTime.QuadPart) + timer->Period * kernel::kMillisecond);
    }
    if (timer->Dpc != nullptr) QueueDpcLocked(timer->Dpc, nullptr, nullptr);
  }
}

void DpcThreadMain() {
  Scheduler& s = TheScheduler();
  DpcState& d = State();
  std::unique_lock<std::mutex> held(s.lock);
  while (!d.stopping) {
    FireExpiredTimersLocked();
    if (!d.queue.empty()) {
      KDPC* dpc = d.queue.front();
      d.queue.pop_front();
      dpc->DpcData = nullptr;
      const PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
      PVOID context = dpc->DeferredContext;
      PVOID argument1 = dpc->SystemArgument1;
      PVOID argument2 = dpc->SystemArgument2;
      held.unlock();
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      routine(dpc, context, argument1, argument2);
      if (KeGetCurrentIrql() != DISPATCH_LEVEL) {
        kernel::verifier::Fail("a DPC routine returned at an IRQL other than DISPATCH_LEVEL");
      }
      CurrentThread()->Irql = PASSIVE_LEVEL;
      held.lock();
      continue;
    }
    const LONGLONG deadline = d.timers.empty() ? kNoDeadline : d.timers.begin()->first.due;
    s.WaitLocked(held, &d.wake.Header, deadline);
  }
}

}  // namespace

void TimersChangedLocked() { TheScheduler().SignalLocked(&State().wake.Header); }

void ResetTimersLocked() {
  DpcState& d = State();
  for (auto& entry : d.timers) entry.second->Header.Inserted = 0;
  d.timers.clear();
  d.keyOf.clear();
  d.sequence = 0;
  for (KDPC* dpc : d.queue) dpc->DpcData = nullptr;
  d.queue.clear();
}

std::string TimersAndDpcsLeftLocked() {
  const DpcState& d = State();
  return std::string(d.timers.empty() ? "" : " an armed timer;") + (d.queue.empty() ? "" : " a queued DPC;");
}

// A block of pool about to be freed must not hold a timer, a DPC or a work
// item that the platform still references.
void ForgetObjectsInBlockLocked(const void* start, SIZE_T size, std::string* what) {
  DpcState& d = State();
  auto inside = [&](const void* p) {
    auto a = reinterpret_cast<ULONG_PTR>(p);
    auto b = reinterpret_cast<ULONG_PTR>(start);
    return a >= b && a < b + size;
  };
  for (auto it = d.keyOf.begin(); it != d.keyOf.end();) {
    KTIMER* timer = it->first;
    ++it;
    if (inside(timer)) {
      *what = "an armed timer";
      RemoveTimerLocked(timer);
    }
  }
  for (auto it = d.queue.begin(); it != d.queue.end();) {
    if (inside(*it)) {
      *what = "a queued DPC";
      it = d.queue.erase(it);
    } else {
      ++it;
    }
  }
}

void StartDpcThread() {
  DpcState& d = State();
  KeInitializeEvent(&d.wake, SynchronizationEvent, FALSE);
  {
    std::lock_guard<std::mutex> guard(TheScheduler().lock);
    d.stopping = false;
  }
  d.ended = std::make_shared<WakeSignal>();
  LaunchThread("dpc", true, DpcThreadMain, d.ended);
}

void StopDpcThread() {
  DpcState& d = State();
  {
    std::lock_guard<std::mutex> guard(TheScheduler().lock);
    d.stopping = true;
    TheScheduler().SignalLocked(&d.wake.Header);
  }
  if (d.ended) AwaitEnd(*d.ended);
  d.ended.reset();
}

}  // namespace kernel::detail

using kernel::detail::InsertTimerLocked;
using kernel::detail::QueueDpcLocked;
using kernel::detail::RemoveTimerLocked;

void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  *Dpc = {};
  Dpc->Type = kernel::detail::kDpcObject;
  Dpc->Importance = MediumImportance;
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  std::lock_guard<std::mutex> guard(TheScheduler().lock);
  return QueueDpcLocked(Dpc, SystemArgument1, SystemArgument2) ? TRUE : FALSE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
  std::lock_guard<std::mutex> guard(TheScheduler().lock);
  auto& queue = kernel::detail::State().queue;
  for (auto it = queue.begin(); it != queue.end(); ++it) {
    if (*it == Dpc) {
      queue.erase(it);
      Dpc->DpcData = nullptr;
      return TRUE;
    }
  }
  return FALSE;
}

void KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  *Timer = {};
  Timer->Header.Type =
      Type == NotificationTimer ? kernel::detail::kTimerNotification : kernel::detail::kTimerSynchronization;
  Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
}

void KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  kernel::detail::Scheduler& s = TheScheduler();
  std::lock_guard<std::mutex> guard(s.lock);
  const BOOLEAN wasSet = Timer->Header.Inserted ? TRUE : FALSE;
  if (wasSet) RemoveTimerLocked(Timer);
  const LONGLONG now = s.NowLocked();
  const LONGLONG due = DueTime.QuadPart < 0 ? now - DueTime.QuadPart : DueTime.QuadPart;
  Timer->Header.SignalState = 0;
  Timer->Dpc = Dpc;
  Timer->Period = Period;
  InsertTimerLocked(Timer, due);
  kernel::detail::TimersChangedLocked();
  return wasSet;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) { return KeSetTimerEx(Timer, DueTime, 0, Dpc); }

BOOLEAN KeCancelTimer(PKTIMER Timer) {
  std::lock_guard<std::mutex> guard(TheScheduler().lock);
  const BOOLEAN wasSet = Timer->Header.Inserted ? TRUE : FALSE;
  if (wasSet) RemoveTimerLocked(Timer);
  return wasSet;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
  std::lock_guard<std::mutex> guard(TheScheduler().lock);
  return Timer->Header.SignalState > 0 ? TRUE : FALSE;
}

void KeFlushQueuedDpcs() {
  // The one DPC thread runs DPCs in order: when a marker queued now has run,
  // so has every DPC queued before it.
  KEVENT done;
  KDPC marker;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  KeInitializeDpc(
      &marker, [](KDPC*, PVOID context, PVOID, PVOID) { KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE); },
      &done);
  KeInsertQueueDpc(&marker, nullptr, nullptr);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
}
