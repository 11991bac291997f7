// The clock and the scheduler's waits (the platform's life cycle is
// platform.cpp, how its threads come to run threads.cpp).
//
// In simulated time the clock stands still while any thread that the
// platform knows is running. When the last of them blocks in a platform wait,
// the clock jumps to the earliest deadline of any wait (a timed wait, a
// delay, the DPC thread's next timer) and those waits end. A test of a
// 7-second bound therefore takes as long as the code it runs. One at a time,
// a thread that waits switches to the first thread ready to run, or, when
// none is, to the first one the clock's jump lets go.
#include "platform/kernel/scheduler.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <utility>

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

thread_local KTHREAD* t_current = nullptr;

}  // namespace

void WakeSignal::Post() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    isPosted_ = true;
  }
  posted_.notify_one();
}

void WakeSignal::Wait() {
  std::unique_lock<std::mutex> held(lock_);
  posted_.wait(held, [this] { return isPosted_; });
  isPosted_ = false;
}

bool WakeSignal::TryWait() {
  std::lock_guard<std::mutex> guard(lock_);
  return std::exchange(isPosted_, false);
}

bool WakeSignal::WaitUntil(std::chrono::system_clock::time_point until) {
  std::unique_lock<std::mutex> held(lock_);
  if (!posted_.wait_until(held, until, [this] { return isPosted_; })) return false;
  isPosted_ = false;
  return true;
}

Scheduler& TheScheduler() {
  static Scheduler scheduler;
  return scheduler;
}

KTHREAD* NewThreadRecord() {
  auto record = std::make_unique<KTHREAD>();
  KTHREAD* thread = record.get();
  std::lock_guard<std::mutex> guard(g_threadsLock);
  AllThreads().push_back(std::move(record));
  return thread;
}

KTHREAD* CurrentThread() {
  if (t_current == nullptr) t_current = NewThreadRecord();
  return t_current;
}

void SetCurrentThread(KTHREAD* thread) { t_current = thread; }

void ResetThreadRecordLocked(KTHREAD* thread, const std::string& name, bool service) {
  thread->Name = name;
  thread->Service = service;
  thread->Irql = PASSIVE_LEVEL;
  thread->Apcs.clear();
  thread->ApcCount = 0;
  thread->Waiting = nullptr;
}

void RegisterCurrentThread(const std::string& name, bool service) {
  KTHREAD* self = CurrentThread();
  Scheduler& s = TheScheduler();
  std::unique_lock<std::mutex> held(s.lock);
  self->Name = name;
  self->Service = service;
  if (!self->Registered) {
    self->Registered = true;
    s.registered++;
    s.TakeTurnLocked(held);
  }
}

void UnregisterCurrentThread() {
  KTHREAD* self = CurrentThread();
  Scheduler& s = TheScheduler();
  std::lock_guard<std::mutex> guard(s.lock);
  if (self->Registered) {
    self->Registered = false;
    s.registered--;
    if (s.oneAtATime && s.turn == self) s.PassTurnLocked();
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
  MakeReadyLocked(waiter->thread);
}

void Scheduler::MakeReadyLocked(KTHREAD* thread) {
  if (!oneAtATime) {
    if (thread != CurrentThread()) thread->Wake.Post();
  } else if (turn != nullptr) {
    ready.push_back(thread);
  } else {
    turn = thread;
    idle.Post();
  }
}

void Scheduler::PassTurnLocked() {
  turn = nullptr;
  if (ready.empty()) return;
  turn = ready.front();
  ready.pop_front();
}

void Scheduler::TakeTurnLocked(std::unique_lock<std::mutex>& held) {
  if (!oneAtATime) return;
  KTHREAD* self = CurrentThread();
  if (self->Context == nullptr) self->Context = std::make_unique<Fiber>();  // the machine thread's own stack
  MakeReadyLocked(self);
  const bool now = true;
  RunOthersLocked(held, now);
}

void Scheduler::RunOthersLocked(std::unique_lock<std::mutex>& held, const bool& done) {
  KTHREAD* self = CurrentThread();
  while (!done || turn != self) {
    if (turn == nullptr) {
      // Nothing can run until a thread outside the platform acts.
      held.unlock();
      idle.Wait();
      held.lock();
    } else if (turn != self) {
      KTHREAD* next = turn;
      held.unlock();
      SetCurrentThread(next);
      self->Context->SwitchTo(*next->Context);
      SetCurrentThread(self);
      held.lock();
    } else {
      verifier::Fail("one at a time: a thread has its turn while its wait goes on");
      return;
    }
  }
}

void Scheduler::LetReadyRunLocked(std::unique_lock<std::mutex>& held) {
  KTHREAD* self = CurrentThread();
  while (oneAtATime && turn == self && !ready.empty()) {
    PassTurnLocked();
    ready.push_back(self);
    const bool now = true;
    RunOthersLocked(held, now);
  }
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
    const bool inTurn = oneAtATime && turn == self;
    if (inTurn) PassTurnLocked();
    AdvanceIfIdleLocked();
    if (inTurn) RunOthersLocked(held, w.released);
    const bool timed = mode == ClockMode::Real && deadline != kNoDeadline;
    while (!w.released) {
      held.unlock();
      bool woken = true;
      if (timed) {
        woken = self->Wake.WaitUntil(WallTimePoint(deadline));
      } else {
        self->Wake.Wait();
      }
      held.lock();
      if (!woken && !w.released && NowLocked() >= deadline) {
        w.timedOut = true;
        ReleaseLocked(&w);
      }
    }
    self->Waiting = nullptr;
    waiters.erase(std::find(waiters.begin(), waiters.end(), &w));
    if (w.satisfied) return STATUS_SUCCESS;
    if (w.timedOut) return STATUS_TIMEOUT;
  }
}

}  // namespace kernel::detail
