// The stand-in's scheduler, private to the kernel: per-thread records, the
// one lock that guards every dispatcher object, waits with deadlines, the
// clock in both modes, and kernel APCs.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel/fiber.h"
#include "platform/kernel/platform.h"

namespace kernel::detail {
struct Waiter;

// A binary semaphore that sleeps at once: the standard one spins and yields
// first, which on one processor only delays the thread that would post it.
class WakeSignal {
 public:
  void Post();
  void Wait();
  // False when the time came first.
  bool WaitUntil(std::chrono::system_clock::time_point until);
  // Takes a post if there is one.
  bool TryWait();

 private:
  std::mutex lock_;
  std::condition_variable posted_;
  bool isPosted_ = false;
};
}  // namespace kernel::detail

struct KTHREAD {
  std::atomic<KIRQL> Irql{PASSIVE_LEVEL};
  std::atomic<int> ApcCount{0};
  bool Registered = false;
  bool Service = false;  // DPC and worker threads: idle waits are not a deadlock
  std::string Name;
  std::deque<std::function<void()>> Apcs;  // guarded by the scheduler lock
  kernel::detail::Waiter* Waiting = nullptr;
  std::uint64_t Wakeups = 0;  // guarded by the scheduler lock
  // Posted when a wait of the thread ends. The record outlives the thread,
  // so a post never reaches freed memory; a stray post only makes the next
  // wait look again.
  kernel::detail::WakeSignal Wake;
  std::unique_ptr<kernel::detail::Fiber> Context;  // one at a time: the fiber this thread is
};

namespace kernel::detail {

// Simulated time starts at 2026-01-01 00:00 UTC, in 100-ns units since 1601-01-01.
constexpr LONGLONG kSimulatedEpoch = 134116992000000000LL;

constexpr LONGLONG kNoDeadline = INT64_MAX;

struct Waiter {
  KTHREAD* thread = nullptr;
  DISPATCHER_HEADER* object = nullptr;  // null for a plain delay
  LONGLONG deadline = kNoDeadline;
  bool released = false;  // no longer counted as blocked
  bool satisfied = false;
  bool timedOut = false;
  bool apc = false;
};

class Scheduler {
 public:
  std::mutex lock;  // guards everything below and the state of every dispatcher object

  ClockMode mode = ClockMode::Real;
  bool running = false;
  LONGLONG simulatedNow = 0;
  int registered = 0;
  int blocked = 0;
  int holds = 0;  // work under way that no platform thread stands for (HoldClock)
  std::uint64_t wakeups = 0;
  std::vector<Waiter*> waiters;
  // Scheduling::OneAtATime: every platform thread is a fiber of the machine
  // thread that made the platform. `turn` is the one that runs (none while
  // every thread waits), `ready` the ones let go, in order; `idle` is posted
  // when a thread outside the platform lets one go while none runs.
  bool oneAtATime = false;
  KTHREAD* turn = nullptr;
  std::deque<KTHREAD*> ready;
  WakeSignal idle;

  // Under `lock`.
  LONGLONG NowLocked() const;
  // Blocks the calling thread until the object is signalled (consuming a
  // synchronization object), the deadline passes, or an APC arrives while
  // the thread is at PASSIVE_LEVEL. Returns STATUS_SUCCESS or STATUS_TIMEOUT.
  NTSTATUS WaitLocked(std::unique_lock<std::mutex>& held, DISPATCHER_HEADER* object, LONGLONG deadline);
  // Marks the object signalled and releases its waiters.
  void SignalLocked(DISPATCHER_HEADER* object);
  void ReleaseLocked(Waiter* waiter);
  // The calling thread, registered, runs once it has its turn (at once
  // unless one at a time).
  void TakeTurnLocked(std::unique_lock<std::mutex>& held);
  // One at a time: lets every thread that is ready run until it waits.
  void LetReadyRunLocked(std::unique_lock<std::mutex>& held);
  // One at a time: runs the other threads until `done` and the caller's turn.
  void RunOthersLocked(std::unique_lock<std::mutex>& held, const bool& done);
  // The thread may run again: at once, or one at a time when its turn comes
  // (now, if no thread has it).
  void MakeReadyLocked(KTHREAD* thread);
  // One at a time: the running thread gives up its turn to the first ready one.
  void PassTurnLocked();
  void ReleaseExpiredLocked();
  // In simulated time, when every platform thread waits: jump to the next deadline.
  void AdvanceIfIdleLocked();
  void RunApcs(std::unique_lock<std::mutex>& held, KTHREAD* thread);
  void QueueApc(KTHREAD* thread, std::function<void()> apc);
};

Scheduler& TheScheduler();
KTHREAD* CurrentThread();
// One at a time: the fiber about to run is the machine thread's current one.
void SetCurrentThread(KTHREAD* thread);
// A record for a thread to come, kept for the life of the process.
KTHREAD* NewThreadRecord();
// A record's fields as a new thread finds them. Under the scheduler lock.
void ResetThreadRecordLocked(KTHREAD* thread, const std::string& name, bool service);
void RegisterCurrentThread(const std::string& name, bool service);
void UnregisterCurrentThread();

// A platform thread that runs `body`, counted from now (time cannot move on
// before it runs): a thread of the machine (one kept from an earlier body
// when there is one), or one at a time a fiber. `ended` is posted once the
// thread no longer counts.
void LaunchThread(const std::string& name, bool service, std::function<void()> body,
                  std::shared_ptr<WakeSignal> ended);
// Waits until `ended` is posted; one at a time, by letting the threads that
// are ready run.
void AwaitEnd(WakeSignal& ended);
bool IsSignalled(const DISPATCHER_HEADER* object);

// The DPC thread and work queues, started and stopped with the platform.
void StartDpcThread();
void StopDpcThread();
void StartWorkerThreads();
void StopWorkerThreads();
void TimersChangedLocked();
// Called before a pool block is freed: drops timers, DPCs and work items in
// it that the platform still holds, naming the first one found in `what`.
void ForgetObjectsInBlockLocked(const void* start, SIZE_T size, std::string* what);
void ForgetWorkItemsInBlockLocked(const void* start, SIZE_T size, std::string* what);
void ResetTimersLocked();
// What the DPC thread and the work queues still hold, one phrase each; "" when nothing.
std::string TimersAndDpcsLeftLocked();
std::string WorkItemsLeftLocked();
void ResetWorkQueuesLocked();

// Pool bookkeeping reset and I/O manager reset between platforms.
void ResetPool();
// The verifier's watch over a file object's FsContext: freeing the pool
// block it points into while the file object is open is a fault.
void WatchFileContext(const void* file, const void* context);
void ForgetFileContext(const void* file);
void ResetIoManager();

constexpr ULONG kTagIrp = PoolTag("Irp ");
constexpr ULONG kTagDevice = PoolTag("Devo");
constexpr ULONG kTagDriver = PoolTag("Drvo");
constexpr ULONG kTagFile = PoolTag("File");
constexpr ULONG kTagBuffer = PoolTag("Sbuf");
constexpr ULONG kTagString = PoolTag("Strg");

}  // namespace kernel::detail
