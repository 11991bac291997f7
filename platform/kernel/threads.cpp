// How the platform's threads (the DPC thread, the workers, system threads)
// come to run: on threads of the machine, kept once a body has ended (under
// the sanitizers starting and ending a thread costs more than most bodies),
// or one at a time on fibers of the machine thread that made the platform.
#include <thread>
#include <utility>

#include "platform/kernel/scheduler.h"

namespace kernel::detail {
namespace {

// Machine threads waiting for a body. Never destroyed: idle ones wait until the process ends.
class Carriers {
 public:
  void Run(std::function<void()> job) {
    Carrier* carrier = nullptr;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (!idle_.empty()) {
        carrier = idle_.back();
        idle_.pop_back();
      }
    }
    if (carrier == nullptr) {
      carrier = new Carrier;
      std::thread([this, carrier] { Serve(carrier); }).detach();
    }
    carrier->job = std::move(job);
    carrier->wake.Post();
  }

 private:
  struct Carrier {
    std::function<void()> job;
    WakeSignal wake;
  };

  void Serve(Carrier* carrier) {
    for (;;) {
      carrier->wake.Wait();
      std::exchange(carrier->job, nullptr)();
      std::lock_guard<std::mutex> guard(lock_);
      idle_.push_back(carrier);
    }
  }

  std::mutex lock_;
  std::vector<Carrier*> idle_;
};

Carriers& TheCarriers() {
  static auto* carriers = new Carriers;
  return *carriers;
}

// Fiber threads whose body has ended, each with its stack: the next one
// launched takes one. Under the scheduler lock.
std::vector<KTHREAD*>& IdleFibers() {
  static auto* idle = new std::vector<KTHREAD*>;
  return *idle;
}

// The last step of a fiber thread: it no longer counts, and its turn goes to
// the next thread for good.
[[noreturn]] void EndFiber(KTHREAD* self, WakeSignal& ended) {
  Scheduler& s = TheScheduler();
  std::unique_lock<std::mutex> held(s.lock);
  self->Registered = false;
  s.registered--;
  ended.Post();
  s.PassTurnLocked();
  s.AdvanceIfIdleLocked();
  while (s.turn == nullptr) {
    held.unlock();
    s.idle.Wait();
    held.lock();
  }
  KTHREAD* next = s.turn;
  // Taken again only once this fiber has left: nothing else runs before.
  IdleFibers().push_back(self);
  held.unlock();
  SetCurrentThread(next);
  self->Context->Leave(*next->Context);
}

}  // namespace

void LaunchThread(const std::string& name, bool service, std::function<void()> body,
                  std::shared_ptr<WakeSignal> ended) {
  Scheduler& s = TheScheduler();
  std::unique_lock<std::mutex> held(s.lock);
  s.registered++;
  if (!s.oneAtATime) {
    held.unlock();
    TheCarriers().Run([name, service, body = std::move(body), ended = std::move(ended)] {
      KTHREAD* self = CurrentThread();
      {
        std::lock_guard<std::mutex> guard(TheScheduler().lock);
        ResetThreadRecordLocked(self, name, service);
        self->Registered = true;
      }
      body();
      UnregisterCurrentThread();
      ended->Post();
    });
    return;
  }
  KTHREAD* thread = nullptr;
  if (IdleFibers().empty()) {
    thread = NewThreadRecord();
    thread->Context = std::make_unique<Fiber>();
  } else {
    thread = IdleFibers().back();
    IdleFibers().pop_back();
  }
  ResetThreadRecordLocked(thread, name, service);
  thread->Registered = true;
  thread->Context->Start([thread, body = std::move(body), ended = std::move(ended)] {
    body();
    EndFiber(thread, *ended);
  });
  s.MakeReadyLocked(thread);
}

void AwaitEnd(WakeSignal& ended) {
  Scheduler& s = TheScheduler();
  std::unique_lock<std::mutex> held(s.lock);
  if (!s.oneAtATime || s.turn != CurrentThread()) {
    held.unlock();
    ended.Wait();
    return;
  }
  while (!ended.TryWait()) {
    if (s.ready.empty()) {
      verifier::Fail("one at a time: waiting for the end of a thread that nothing lets go");
      return;
    }
    s.LetReadyRunLocked(held);
  }
}

}  // namespace kernel::detail
