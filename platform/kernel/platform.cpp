// The platform's life cycle, its clock as callers read it, and the threads
// that take part in simulated time.
#include "platform/kernel/platform.h"

#include <cstdio>
#include <cstdlib>
#include <thread>
#include <utility>

#include "platform/kernel/scheduler.h"

namespace kernel {

using detail::TheScheduler;

Platform::Platform(ClockMode mode, Scheduling scheduling) {
  detail::Scheduler& s = TheScheduler();
  {
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.running) {
      std::fprintf(stderr, "KERNEL VERIFIER: a platform is already running in this process\n");
      std::abort();
    }
    s.mode = mode;
    s.simulatedNow = detail::kSimulatedEpoch;
    s.holds = 0;
    s.oneAtATime = mode == ClockMode::Simulated && scheduling == Scheduling::OneAtATime;
    s.turn = nullptr;
    s.ready.clear();
    s.running = true;
  }
  // Also brings the I/O manager's records into being before this object, so
  // that a platform held in a static goes before them at exit.
  detail::ResetIoManager();
  detail::ResetPool();
  faults::Clear();
  faults::PreemptAfterRelease(nullptr, nullptr);
  detail::RegisterCurrentThread("main", false);
  detail::StartDpcThread();
  detail::StartWorkerThreads();
}

Platform::~Platform() {
  detail::StopWorkerThreads();
  detail::StopDpcThread();
  detail::UnregisterCurrentThread();
  detail::Scheduler& s = TheScheduler();
  {
    std::lock_guard<std::mutex> guard(s.lock);
    detail::ResetTimersLocked();
    s.running = false;
    s.oneAtATime = false;
    s.turn = nullptr;
  }
  detail::ResetIoManager();
}

ClockMode Platform::Mode() const { return CurrentClockMode(); }

void Platform::Reset() {
  detail::Scheduler& s = TheScheduler();
  const KTHREAD* self = detail::CurrentThread();
  std::string left;
  {
    std::unique_lock<std::mutex> held(s.lock);
    // A service thread that has just woken the caller may still be on its way back to its queue.
    for (;;) {
      s.LetReadyRunLocked(held);
      if (s.blocked >= s.registered - (self->Registered ? 1 : 0)) break;
      held.unlock();
      std::this_thread::yield();
      held.lock();
    }
    left = detail::TimersAndDpcsLeftLocked() + detail::WorkItemsLeftLocked();
    if (s.holds != 0) left += " a clock hold;";
    for (const detail::Waiter* w : s.waiters) {
      if (!w->released && !w->thread->Service) left += " a waiting thread (" + w->thread->Name + ");";
    }
    detail::ResetTimersLocked();
    detail::ResetWorkQueuesLocked();
    s.simulatedNow = detail::kSimulatedEpoch;
    s.holds = 0;
    s.wakeups = 0;
  }
  detail::ResetIoManager();
  if (pool::Totals().liveBlocks != 0) left += " a live pool block;";
  detail::ResetPool();
  faults::Clear();
  faults::PreemptAfterRelease(nullptr, nullptr);
  if (!left.empty()) verifier::Fail("platform reset with" + left);
}

bool PlatformRunning() {
  detail::Scheduler& s = TheScheduler();
  std::lock_guard<std::mutex> guard(s.lock);
  return s.running;
}

ClockMode CurrentClockMode() {
  detail::Scheduler& s = TheScheduler();
  std::lock_guard<std::mutex> guard(s.lock);
  return s.mode;
}

LONGLONG Now() {
  detail::Scheduler& s = TheScheduler();
  std::lock_guard<std::mutex> guard(s.lock);
  return s.NowLocked();
}

std::uint64_t Wakeups() {
  detail::Scheduler& s = TheScheduler();
  std::lock_guard<std::mutex> guard(s.lock);
  return s.wakeups;
}

std::uint64_t CallerWakeups() {
  KTHREAD* self = detail::CurrentThread();
  detail::Scheduler& s = TheScheduler();
  std::lock_guard<std::mutex> guard(s.lock);
  return self->Wakeups;
}

void SleepFor(LONGLONG duration) {
  LARGE_INTEGER interval;
  interval.QuadPart = -duration;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// In real time there is nothing to hold, and no count: a device served to
// another process releases holds that the other process took.
void HoldClock() {
  detail::Scheduler& s = TheScheduler();
  std::lock_guard<std::mutex> guard(s.lock);
  if (s.mode == ClockMode::Simulated) s.holds++;
}

void ReleaseClock() {
  detail::Scheduler& s = TheScheduler();
  std::lock_guard<std::mutex> guard(s.lock);
  if (s.mode != ClockMode::Simulated) return;
  if (s.holds <= 0) {
    verifier::Fail("ReleaseClock without a HoldClock");
    return;
  }
  s.holds--;
  s.AdvanceIfIdleLocked();
}

struct SystemThread::State {
  KEVENT finished;
  std::shared_ptr<detail::WakeSignal> ended = std::make_shared<detail::WakeSignal>();
};

SystemThread::SystemThread(std::string name, std::function<void()> body) : state_(std::make_shared<State>()) {
  KeInitializeEvent(&state_->finished, NotificationEvent, FALSE);
  detail::LaunchThread(
      name, false,
      [state = state_, body = std::move(body)] {
        body();
        KeSetEvent(&state->finished, IO_NO_INCREMENT, FALSE);
      },
      state_->ended);
}

void SystemThread::Join() {
  if (std::exchange(joined_, true)) return;
  KeWaitForSingleObject(&state_->finished, Executive, KernelMode, FALSE, nullptr);
  detail::AwaitEnd(*state_->ended);
}

SystemThread::~SystemThread() { Join(); }

std::size_t threads::Waiting() {
  detail::Scheduler& s = TheScheduler();
  KTHREAD* self = detail::CurrentThread();
  std::lock_guard<std::mutex> guard(s.lock);
  std::size_t waiting = 0;
  for (const detail::Waiter* w : s.waiters) {
    if (!w->released && w->thread != self && !w->thread->Service) ++waiting;
  }
  return waiting;
}

}  // namespace kernel
