// The stand-in's own control surface, for tests, the emulator and the host:
// the clock (real or simulated), threads known to the platform, pool
// accounting and failure injection, the verifier, platform fault injection,
// and the loading of drivers. Drivers never include this.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/kernel/wdm.h"

namespace kernel {

constexpr LONGLONG kMicrosecond = 10;
constexpr LONGLONG kMillisecond = 10'000;
constexpr LONGLONG kSecond = 10'000'000;

enum class ClockMode {
  Real,       // wall clock and real sleeps (tools, pcscd)
  Simulated,  // time moves only when every platform thread waits, then jumps to the next deadline
};

// How the platform's threads share the processor in simulated time.
enum class Scheduling {
  Parallel,  // threads of the machine, as its scheduler runs them: every interleaving may happen
  // Fibers of the machine thread that makes the platform, one running at a
  // time; when it waits, the threads it let go run in the order they were
  // let go. Every run of the same work takes the same course, and a hand-off
  // costs no system call. Nothing may wait for a platform thread outside a
  // platform wait (a mutex held across one, a spin on a flag): the waiting
  // fiber would hold up the others. In real time, Parallel whatever is asked.
  OneAtATime,
};

// One platform per process at a time: it starts the DPC thread and the
// system worker threads, and registers the constructing thread as a caller.
// The destructor stops the threads.
class Platform {
 public:
  explicit Platform(ClockMode mode, Scheduling scheduling = Scheduling::Parallel);
  ~Platform();
  Platform(const Platform&) = delete;
  Platform& operator=(const Platform&) = delete;

  ClockMode Mode() const;

  // Between two lives of a driver: back to the state a fresh platform has
  // (the clock at the epoch, no hold, faults and preemption points cleared,
  // pool accounting and the I/O manager's records emptied), its threads
  // kept, for callers that run many short lives in one process. First the
  // other threads settle; a timer still armed, a DPC or work item still
  // queued, a thread still waiting or a pool block still live is reported to
  // the verifier, then dropped.
  void Reset();
};

// Is a platform running, and in which mode.
bool PlatformRunning();
ClockMode CurrentClockMode();

// The system time (KeQuerySystemTime) as a number.
LONGLONG Now();
// Blocks the calling thread for the given time (a platform wait): in
// simulated time the rest of the system runs until then.
void SleepFor(LONGLONG duration);

// Work the platform cannot see is under way (another library's thread
// carrying a USB transfer, a device answering from outside the platform):
// while any hold is taken, simulated time stands still as if a platform
// thread ran. Each HoldClock is paired with one ReleaseClock, from any
// thread. In real time they change nothing.
void HoldClock();
void ReleaseClock();

// Wake-ups: every time a thread blocked in a platform wait is let go again
// (its object signalled, its deadline reached, an APC queued). A system with
// nothing to do makes none; the benchmarks count them.
std::uint64_t Wakeups();
// The calling thread's own share of them.
std::uint64_t CallerWakeups();

// A thread that the platform knows: simulated time counts it. Join is a
// platform wait, so time goes on while the joining thread waits. The body
// runs on a thread of the machine that an earlier body may have used (one
// at a time, on a fiber).
class SystemThread {
 public:
  SystemThread(std::string name, std::function<void()> body);
  ~SystemThread();
  SystemThread(const SystemThread&) = delete;
  SystemThread& operator=(const SystemThread&) = delete;
  void Join();

 private:
  struct State;
  std::shared_ptr<State> state_;
  bool joined_ = false;
};

namespace pool {

// Whether fresh blocks are filled with 0xCD and freed ones with 0xDD (off in Release builds).
#ifdef READER_POOL_FILL
inline constexpr bool kFillPatterns = true;
#else
inline constexpr bool kFillPatterns = false;
#endif

struct TagStats {
  ULONG liveBlocks = 0;
  SIZE_T liveBytes = 0;
  ULONG allocations = 0;
  ULONG frees = 0;
  ULONG failedAllocations = 0;
  std::uint64_t allocatedBytes = 0;  // every successful allocation's size, added up
  SIZE_T peakBytes = 0;              // the most liveBytes reached since the platform or ResetPeaks
};

TagStats Stats(ULONG tag);
// All tags together.
TagStats Totals();
// Every tag's peakBytes starts again from its liveBytes.
void ResetPeaks();
inline ULONG LiveBlocks(ULONG tag) { return Stats(tag).liveBlocks; }
// Allocations of any tag so far (failed ones included): the numbering that FailAllocation uses.
ULONG AllocationCount();
// The nth allocation from now fails (1 = the next one), whatever its tag.
void FailAllocation(ULONG nth);
// Every allocation with this tag fails while set.
void FailTag(ULONG tag, bool fail);
void ClearFailures();
// Is this address the start of a live pool block, and with which tag.
bool IsLiveBlock(const void* p, ULONG* tag = nullptr, SIZE_T* size = nullptr);

}  // namespace pool

namespace verifier {

// What a broken driver triggers: a clear message. By default it is printed
// and the process aborts; a Capture collects the messages instead.
using Handler = std::function<void(const std::string&)>;
void Fail(const std::string& message);

class Capture {
 public:
  Capture();
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;
  std::vector<std::string> Messages() const;
  bool Saw(std::string_view fragment) const;

 private:
  struct State;
  std::shared_ptr<State> state_;
  Handler previous_;
};

}  // namespace verifier

namespace faults {

// The next `count` calls of a platform routine fail with `status` (for
// IoAttachDeviceToDeviceStack: return no device). Routine names are the
// platform's: "IoCreateDevice", "IoRegisterDeviceInterface",
// "IoSetDeviceInterfaceState", "IoAttachDeviceToDeviceStack",
// "IoBuildDeviceIoControlRequest", "IoAllocateIrp", and the stand-ins' own.
void FailNext(std::string_view routine, NTSTATUS status, int count = 1);
// Used by the stand-ins: consumes one planned failure.
bool Take(std::string_view routine, NTSTATUS* status);
void Clear();

// A preemption point, for tests of races: each time a thread releases this
// spin lock and is back at PASSIVE_LEVEL, `point` runs on it, as if the
// scheduler had preempted the thread right there (a platform wait inside
// lets the rest of the system run), until it returns true. An empty
// function removes the point.
void PreemptAfterRelease(const KSPIN_LOCK* lock, std::function<bool()> point);

}  // namespace faults

namespace irps {

// Requests allocated and not yet freed, and of them those handed to a
// driver and not completed.
std::size_t Live();
std::size_t InProgress();

}  // namespace irps

namespace threads {

// Platform threads other than the caller that wait right now, service
// threads idling on their queues not counted.
std::size_t Waiting();

}  // namespace threads

struct DeviceInterface {
  std::u16string symbolicLinkName;
  GUID interfaceClass;
  PDEVICE_OBJECT physicalDeviceObject;
  bool enabled;
};
std::vector<DeviceInterface> ListDeviceInterfaces();

// Driver objects: every major function starts with the platform's default
// handler, which fails the request with STATUS_INVALID_DEVICE_REQUEST.
PDRIVER_OBJECT LoadDriver(std::u16string_view name, PDRIVER_INITIALIZE driverEntry, NTSTATUS* status = nullptr);
void UnloadDriver(PDRIVER_OBJECT driverObject);

// What PoSetPowerState last recorded for a device, and how often
// PoStartNextPowerIrp was called for requests on it.
struct DevicePowerRecord {
  SYSTEM_POWER_STATE system = PowerSystemWorking;
  DEVICE_POWER_STATE device = PowerDeviceD0;
  ULONG startNextPowerIrpCalls = 0;
};
DevicePowerRecord PowerRecord(PDEVICE_OBJECT deviceObject);

}  // namespace kernel
