// IRQL, spin locks, events, waits, delays, stalls, the system time and the
// interlocked operations.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

#include "platform/kernel/scheduler.h"

using kernel::detail::CurrentThread;
using kernel::detail::kNoDeadline;
using kernel::detail::TheScheduler;

namespace {

std::string IrqlText(KIRQL irql) { return std::to_string(static_cast<int>(irql)); }

// A relative (negative) or absolute (positive) due time, as the platform reads it.
LONGLONG DeadlineFrom(LONGLONG now, LONGLONG dueTime) { return dueTime < 0 ? now - dueTime : dueTime; }

}  // namespace

KIRQL KeGetCurrentIrql() { return CurrentThread()->Irql; }

void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  KTHREAD* self = CurrentThread();
  const KIRQL old = self->Irql;
  if (NewIrql < old) {
    kernel::verifier::Fail("KeRaiseIrql to " + IrqlText(NewIrql) + " below the current IRQL " + IrqlText(old));
  }
  self->Irql = NewIrql;
  *OldIrql = old;
}

void KeLowerIrql(KIRQL NewIrql) {
  KTHREAD* self = CurrentThread();
  if (NewIrql > self->Irql) {
    kernel::verifier::Fail("KeLowerIrql to " + IrqlText(NewIrql) + " above the current IRQL " +
                           IrqlText(self->Irql));
  }
  self->Irql = NewIrql;
  // Kernel APCs queued while the thread was raised run as it drops below APC_LEVEL.
  if (NewIrql == PASSIVE_LEVEL && self->ApcCount > 0) {
    kernel::detail::Scheduler& s = TheScheduler();
    std::unique_lock<std::mutex> held(s.lock);
    s.RunApcs(held, self);
  }
}

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  KTHREAD* self = CurrentThread();
  const auto owner = reinterpret_cast<KSPIN_LOCK>(self);
  std::atomic_ref<KSPIN_LOCK> lock(*SpinLock);
  if (lock.load(std::memory_order_relaxed) == owner) {
    kernel::verifier::Fail("spin lock acquired again by the thread that holds it (deadlock)");
    return;
  }
  for (;;) {
    KSPIN_LOCK expected = 0;
    if (lock.compare_exchange_weak(expected, owner, std::memory_order_acquire)) return;
    while (lock.load(std::memory_order_relaxed) != 0) std::this_thread::yield();
  }
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  std::atomic_ref<KSPIN_LOCK> lock(*SpinLock);
  if (lock.load(std::memory_order_relaxed) != reinterpret_cast<KSPIN_LOCK>(CurrentThread())) {
    kernel::verifier::Fail("spin lock released by a thread that does not hold it");
    return;
  }
  lock.store(0, std::memory_order_release);
}

void KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
  KeRaiseIrql(DISPATCH_LEVEL, OldIrql);
  KeAcquireSpinLockAtDpcLevel(SpinLock);
}

namespace {

// The preemption point of kernel::faults::PreemptAfterRelease.
struct Preemption {
  std::mutex lock;
  const KSPIN_LOCK* spinLock = nullptr;
  std::function<bool()> point;
};
Preemption& ThePreemption() {
  static Preemption preemption;
  return preemption;
}
std::atomic<const KSPIN_LOCK*> g_preempted{nullptr};

void PreemptionPoint(PKSPIN_LOCK SpinLock) {
  thread_local bool inside = false;
  if (inside || KeGetCurrentIrql() != PASSIVE_LEVEL) return;
  Preemption& p = ThePreemption();
  std::function<bool()> point;
  {
    std::lock_guard<std::mutex> guard(p.lock);
    if (p.spinLock != SpinLock) return;
    point = p.point;
  }
  inside = true;
  const bool done = point();
  inside = false;
  if (!done) return;
  std::lock_guard<std::mutex> guard(p.lock);
  if (p.spinLock == SpinLock) {
    p.spinLock = nullptr;
    p.point = nullptr;
    g_preempted.store(nullptr);
  }
}

}  // namespace

void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  KeReleaseSpinLockFromDpcLevel(SpinLock);
  KeLowerIrql(NewIrql);
  if (g_preempted.load(std::memory_order_relaxed) == SpinLock) PreemptionPoint(SpinLock);
}

namespace kernel::faults {

void PreemptAfterRelease(const KSPIN_LOCK* lock, std::function<bool()> point) {
  Preemption& p = ThePreemption();
  std::lock_guard<std::mutex> guard(p.lock);
  p.spinLock = point ? lock : nullptr;
  p.point = std::move(point);
  g_preempted.store(p.spinLock);
}

}  // namespace kernel::faults

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  Event->Header = {};
  Event->Header.Type = static_cast<UCHAR>(Type);
  Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  Event->Header.SignalState = State ? 1 : 0;
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  UNREFERENCED_PARAMETER(Increment);
  UNREFERENCED_PARAMETER(Wait);
  kernel::detail::Scheduler& s = TheScheduler();
  std::lock_guard<std::mutex> guard(s.lock);
  const LONG previous = Event->Header.SignalState;
  s.SignalLocked(&Event->Header);
  return previous;
}

void KeClearEvent(PRKEVENT Event) { KeResetEvent(Event); }

LONG KeResetEvent(PRKEVENT Event) {
  kernel::detail::Scheduler& s = TheScheduler();
  std::lock_guard<std::mutex> guard(s.lock);
  const LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

LONG KeReadStateEvent(PRKEVENT Event) {
  kernel::detail::Scheduler& s = TheScheduler();
  std::lock_guard<std::mutex> guard(s.lock);
  return Event->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout) {
  UNREFERENCED_PARAMETER(WaitReason);
  UNREFERENCED_PARAMETER(WaitMode);
  UNREFERENCED_PARAMETER(Alertable);
  const KIRQL irql = KeGetCurrentIrql();
  if ((Timeout == nullptr || Timeout->QuadPart != 0) && irql >= DISPATCH_LEVEL) {
    kernel::verifier::Fail("KeWaitForSingleObject at IRQL " + IrqlText(irql) +
                           " with a timeout that may sleep (only a zero timeout is allowed at DISPATCH_LEVEL)");
    return STATUS_TIMEOUT;
  }
  kernel::detail::Scheduler& s = TheScheduler();
  std::unique_lock<std::mutex> held(s.lock);
  const LONGLONG deadline = Timeout == nullptr ? kNoDeadline : DeadlineFrom(s.NowLocked(), Timeout->QuadPart);
  return s.WaitLocked(held, static_cast<DISPATCHER_HEADER*>(Object), deadline);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
  UNREFERENCED_PARAMETER(WaitMode);
  UNREFERENCED_PARAMETER(Alertable);
  if (Interval->QuadPart == 0) return STATUS_SUCCESS;
  const KIRQL irql = KeGetCurrentIrql();
  if (irql >= DISPATCH_LEVEL) {
    kernel::verifier::Fail("KeDelayExecutionThread at IRQL " + IrqlText(irql) +
                           " (a delay at DISPATCH_LEVEL must busy-wait with KeStallExecutionProcessor)");
    return STATUS_SUCCESS;
  }
  kernel::detail::Scheduler& s = TheScheduler();
  std::unique_lock<std::mutex> held(s.lock);
  s.WaitLocked(held, nullptr, DeadlineFrom(s.NowLocked(), Interval->QuadPart));
  return STATUS_SUCCESS;
}

void KeStallExecutionProcessor(ULONG MicroSeconds) {
  kernel::detail::Scheduler& s = TheScheduler();
  {
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.mode == kernel::ClockMode::Simulated) {
      // The processor is busy for that long: the clock moves by the stall.
      s.simulatedNow += static_cast<LONGLONG>(MicroSeconds) * kernel::kMicrosecond;
      s.ReleaseExpiredLocked();
      return;
    }
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(MicroSeconds);
  while (std::chrono::steady_clock::now() < end) {
  }
}

void KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = kernel::Now(); }

PKTHREAD KeGetCurrentThread() { return CurrentThread(); }

LONG InterlockedIncrement(LONG volatile* Addend) { return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST); }
LONG InterlockedDecrement(LONG volatile* Addend) { return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST); }
LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
  return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return Comparand;
}
PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange, PVOID Comparand) {
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return Comparand;
}
