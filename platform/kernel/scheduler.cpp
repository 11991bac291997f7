// The clock and the scheduler's waits (the platform's life cycle and its
// threads are platform.cpp).
//
// In simulated time the clock stands still while any thread that the
// platform knows is running. When the last of them blocks in a platform wait,
// the clock jumps to the earliest deadline of any wait (a timed wait, a
// delay, the DPC thread's next timer) and those waits end. A test of a
// 7-second bound therefore takes as long as the code it runs.
#include "platform/kernel/scheduler.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>

namespace kernel::detail {
namespace {

// Unix epoch in 100-ns units since 1601-01-01.
constexpr LONGLONG kUnixEpoch = 116444736000000000LL;

LONGLONG WallNow() {
  auto since = std::chrono::system_clock::now().time_since_epoch();
  return kUnixEpoch + std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100;
}

std::chrono::system_clock::time_point WallTimePoint(LONGLONG systemTime) {
  return std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
      std::chrono::nanoseconds((systemTime - kUnixEpoch) * 100)));
}

std::mutex g_threadsLock;
std::vector<std::unique_ptr<KTHREAD>>& AllThreads() {
  static std::vector<std::unique_ptr<KTHREAD>> threads;
  return threads;
}

}  // namespace

Scheduler& TheScheduler() {
  static Scheduler scheduler;
  return scheduler;
}

KTHREAD* CurrentThread() {
  thread_local KTHREAD* self = nullptr;
  if (self == nullptr) {
    auto record = std::make_unique<KTHREAD>();
    self = record.get();
    std::lock_guard<std::mutex> guard(g_threadsLock);
    AllThreads().push_back(std::move(record));
  }
  return self;
}

void RegisterCurrentThread(const std::string& name, bool service) {
  KTHREAD* self = CurrentThread();
  Scheduler& s = TheScheduler();
  std::lock_guard<std::mutex> guard(s.lock);
  self->Name = name;
  self->Service = service;
  if (!self->Registered) {
    self->Registered = true;
    s.registered++;
  }
}

void UnregisterCurrentThread() {
  KTHREAD* self = CurrentThread();
  Scheduler& s = TheScheduler();
  std::lock_guard<std::mutex> guard(s.lock);
  if (self->Registered) {
    self->Registered = false;
    s.registered--;
    s.AdvanceIfIdleLocked();
  }
}

bool IsSignalled(const DISPATCHER_HEADER* object) { return object->SignalState > 0; }

LONGLONG Scheduler::NowLocked() const { return mode == ClockMode::Simulated ? simulatedNow : WallNow(); }

void Scheduler::ReleaseLocked(Waiter* waiter) {
  if (waiter->released) return;
  waiter->released = true;
  blocked--;
  wakeups++;
  waiter->thread->Wakeups++;
  waiter->cv.notify_one();
}

void Scheduler::ReleaseExpiredLocked() {
  const LONGLONG now = NowLocked();
  for (Waiter* w : waiters) {
    if (!w->released && w->deadline <= now) {
      w->timedOut = true;
      ReleaseLocked(w);
    }
  }
}

void Scheduler::AdvanceIfIdleLocked() {
  if (mode != ClockMode::Simulated || !running) return;
  if (registered == 0 || blocked < registered || holds > 0) return;
  LONGLONG earliest = kNoDeadline;
  for (const Waiter* w : waiters) {
    if (!w->released) earliest = std::min(earliest, w->deadline);
  }
  if (earliest != kNoDeadline) {
    simulatedNow = std::max(simulatedNow, earliest);
    ReleaseExpiredLocked();
    return;
  }
  // Nothing is due and nobody runs: a caller waits for something that can
  // never happen. Service threads idling on their queues are not a hang.
  std::string stuck;
  for (const Waiter* w : waiters) {
    if (!w->released && !w->thread->Service) {
      stuck += (stuck.empty() ? "" : ", ") + (w->thread->Name.empty() ? std::string("unnamed") : w->thread->Name);
    }
  }
  if (stuck.empty()) return;
  verifier::Fail("simulated time: every thread waits without a deadline and nothing can wake it (hang); waiting: " +
                 stuck);
  for (Waiter* w : waiters) {
    if (!w->released && !w->thread->Service) {
      w->timedOut = true;
      ReleaseLocked(w);
    }
  }
}

void Scheduler::SignalLocked(DISPATCHER_HEADER* object) {
  const bool synchronization = object->Type == SynchronizationEvent || object->Type == 9;
  if (synchronization) {
    for (Waiter* w : waiters) {
      if (!w->released && w->object == object) {
        w->satisfied = true;
        ReleaseLocked(w);
        object->SignalState = 0;
        return;
      }
    }
    object->SignalState = 1;
    return;
  }
  object->SignalState = 1;
  for (Waiter* w : waiters) {
    if (!w->released && w->object == object) {
      w->satisfied = true;
      ReleaseLocked(w);
    }
  }
}

void Scheduler::RunApcs(std::unique_lock<std::mutex>& held, KTHREAD* thread) {
  while (!thread->Apcs.empty()) {
    std::function<void()> apc = std::move(thread->Apcs.front());
    thread->Apcs.pop_front();
    thread->ApcCount--;
    held.unlock();
    apc();
    held.lock();
  }
}

void Scheduler::QueueApc(KTHREAD* thread, std::function<void()> apc) {
  std::lock_guard<std::mutex> guard(lock);
  thread->Apcs.push_back(std::move(apc));
  thread->ApcCount++;
  Waiter* w = thread->Waiting;
  if (w != nullptr && !w->released && thread->Irql == PASSIVE_LEVEL) {
    w->apc = true;
    ReleaseLocked(w);
  }
}

NTSTATUS Scheduler::WaitLocked(std::unique_lock<std::mutex>& held, DISPATCHER_HEADER* object, LONGLONG deadline) {
  KTHREAD* self = CurrentThread();
  if (mode == ClockMode::Simulated && running && !self->Registered) {
    verifier::Fail("a thread unknown to the platform waits in simulated time; start it as a kernel::SystemThread");
  }
  for (;;) {
    if (self->Irql == PASSIVE_LEVEL && !self->Apcs.empty()) {
      RunApcs(held, self);
      continue;
    }
    if (object != nullptr && IsSignalled(object)) {
      if (object->Type == SynchronizationEvent || object->Type == 9) object->SignalState = 0;
      return STATUS_SUCCESS;
    }
    if (deadline != kNoDeadline && NowLocked() >= deadline) return STATUS_TIMEOUT;

    Waiter w;
    w.thread = self;
    w.object = object;
    w.deadline = deadline;
    waiters.push_back(&w);
    blocked++;
    self->Waiting = &w;
    AdvanceIfIdleLocked();
    while (!w.released) {
      if (mode == ClockMode::Real && deadline != kNoDeadline) {
        if (w.cv.wait_until(held, WallTimePoint(deadline)) == std::cv_status::timeout && !w.released &&
            NowLocked() >= deadline) {
          w.timedOut = true;
          ReleaseLocked(&w);
        }
      } else {
        w.cv.wait(held);
      }
    }
    self->Waiting = nullptr;
    waiters.erase(std::find(waiters.begin(), waiters.end(), &w));
    if (w.satisfied) return STATUS_SUCCESS;
    if (w.timedOut) return STATUS_TIMEOUT;
  }
}

}  // namespace kernel::detail
