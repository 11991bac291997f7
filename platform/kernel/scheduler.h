// The stand-in's scheduler, private to the kernel: per-thread records, the
// one lock that guards every dispatcher object, waits with deadlines, the
// clock in both modes, and kernel APCs.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel/platform.h"

namespace kernel::detail {
struct Waiter;
}

struct KTHREAD {
  std::atomic<KIRQL> Irql{PASSIVE_LEVEL};
  std::atomic<int> ApcCount{0};
  bool Registered = false;
  bool Service = false;  // DPC and worker threads: idle waits are not a deadlock
  std::string Name;
  std::deque<std::function<void()>> Apcs;  // guarded by the scheduler lock
  kernel::detail::Waiter* Waiting = nullptr;
  std::uint64_t Wakeups = 0;  // guarded by the scheduler lock
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
  std::condition_variable cv;
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

  // Under `lock`.
  LONGLONG NowLocked() const;
  // Blocks the calling thread until the object is signalled (consuming a
  // synchronization object), the deadline passes, or an APC arrives while
  // the thread is at PASSIVE_LEVEL. Returns STATUS_SUCCESS or STATUS_TIMEOUT.
  NTSTATUS WaitLocked(std::unique_lock<std::mutex>& held, DISPATCHER_HEADER* object, LONGLONG deadline);
  // Marks the object signalled and releases its waiters.
  void SignalLocked(DISPATCHER_HEADER* object);
  void ReleaseLocked(Waiter* waiter);
  void ReleaseExpiredLocked();
  // In simulated time, when every platform thread waits: jump to the next deadline.
  void AdvanceIfIdleLocked();
  void RunApcs(std::unique_lock<std::mutex>& held, KTHREAD* thread);
  void QueueApc(KTHREAD* thread, std::function<void()> apc);
};

Scheduler& TheScheduler();
KTHREAD* CurrentThread();
void RegisterCurrentThread(const std::string& name, bool service);
void UnregisterCurrentThread();
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
