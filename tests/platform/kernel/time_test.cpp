// Simulated time: waits, delays, stalls, timers, DPCs and work items, each
// landing at exactly the simulated instant it is due.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/kernel/platform.h"

namespace {

using kernel::kMillisecond;
using kernel::kSecond;

class TimeTest : public ::testing::Test {
 protected:
  kernel::Platform platform{kernel::ClockMode::Simulated};
};

TEST_F(TimeTest, TimedWaitOnAnEventThatNeverComesTakesExactlySevenSeconds) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  const LONGLONG start = kernel::Now();
  LARGE_INTEGER timeout;
  timeout.QuadPart = -7 * kSecond;
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_EQ(kernel::Now() - start, 7 * kSecond);
}

TEST_F(TimeTest, PollingLoopOfHundredDelaysTakesTenSeconds) {
  const LONGLONG start = kernel::Now();
  int checks = 0;
  for (int i = 0; i < 100; ++i) {
    ++checks;
    kernel::SleepFor(100 * kMillisecond);
  }
  EXPECT_EQ(checks, 100);
  EXPECT_EQ(kernel::Now() - start, 10 * kSecond);
}

TEST_F(TimeTest, EventSetByAnotherThreadEndsTheWaitAtThatThreadsTime) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  const LONGLONG start = kernel::Now();
  kernel::SystemThread setter("setter", [&] {
    kernel::SleepFor(1500 * kMillisecond);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  });
  LARGE_INTEGER timeout;
  timeout.QuadPart = -5 * kSecond;
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  EXPECT_EQ(kernel::Now() - start, 1500 * kMillisecond);
  EXPECT_EQ(KeReadStateEvent(&event), 0) << "a synchronization event is consumed by the wait it ends";
  setter.Join();
}

TEST_F(TimeTest, AHoldKeepsTheClockStillWhileWorkOutsideThePlatformFinishes) {
  // A thread the platform does not know answers the wait; the hold stands
  // for its work, so the 7-second bound is not reached meanwhile.
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  const LONGLONG start = kernel::Now();
  kernel::HoldClock();
  std::thread outside([&] {
    while (kernel::threads::Waiting() == 0) std::this_thread::yield();
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    kernel::ReleaseClock();
  });
  LARGE_INTEGER timeout;
  timeout.QuadPart = -7 * kSecond;
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  EXPECT_EQ(kernel::Now(), start);
  outside.join();
  KeResetEvent(&event);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT)
      << "without a hold the clock jumps to the deadline";
  EXPECT_EQ(kernel::Now() - start, 7 * kSecond);
}

TEST_F(TimeTest, StallsMoveTheClockByTheStall) {
  const LONGLONG start = kernel::Now();
  for (int i = 0; i < 20; ++i) KeStallExecutionProcessor(50);
  EXPECT_EQ(kernel::Now() - start, kMillisecond);
}

struct PollRecord {
  KTIMER timer;
  KDPC dpc;
  WORK_QUEUE_ITEM item;
  KEVENT done;
  LONGLONG dpcTime = 0;
  KIRQL dpcIrql = 0;
  LONGLONG workTime = 0;
  KIRQL workIrql = 0;
  PKTHREAD dpcThread = nullptr;
  PKTHREAD workThread = nullptr;
  std::atomic<int> dpcRuns{0};
};

void RecordWork(PVOID context) {
  auto r = static_cast<PollRecord*>(context);
  r->workTime = kernel::Now();
  r->workIrql = KeGetCurrentIrql();
  r->workThread = KeGetCurrentThread();
  KeSetEvent(&r->done, IO_NO_INCREMENT, FALSE);
}

void RecordDpc(KDPC*, PVOID context, PVOID, PVOID) {
  auto r = static_cast<PollRecord*>(context);
  r->dpcRuns++;
  r->dpcTime = kernel::Now();
  r->dpcIrql = KeGetCurrentIrql();
  r->dpcThread = KeGetCurrentThread();
  ExInitializeWorkItem(&r->item, RecordWork, r);
  ExQueueWorkItem(&r->item, CriticalWorkQueue);
}

TEST_F(TimeTest, TimerFiresItsDpcAtDispatchLevelWhichQueuesAWorkItemAtPassiveLevel) {
  PollRecord r;
  KeInitializeTimer(&r.timer);
  KeInitializeDpc(&r.dpc, RecordDpc, &r);
  KeInitializeEvent(&r.done, NotificationEvent, FALSE);
  const LONGLONG start = kernel::Now();
  LARGE_INTEGER due;
  due.QuadPart = -500 * kMillisecond;
  EXPECT_EQ(KeSetTimer(&r.timer, due, &r.dpc), FALSE);
  EXPECT_EQ(KeWaitForSingleObject(&r.done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(r.dpcTime - start, 500 * kMillisecond);
  EXPECT_EQ(r.workTime, r.dpcTime);
  EXPECT_EQ(r.dpcIrql, DISPATCH_LEVEL);
  EXPECT_EQ(r.workIrql, PASSIVE_LEVEL);
  EXPECT_NE(r.dpcThread, KeGetCurrentThread());
  EXPECT_NE(r.workThread, r.dpcThread);
  EXPECT_EQ(KeReadStateTimer(&r.timer), TRUE);
}

TEST_F(TimeTest, CancelledOrReplacedTimerFiresOnceAtItsLastDueTime) {
  PollRecord r;
  KeInitializeTimer(&r.timer);
  KeInitializeDpc(&r.dpc, RecordDpc, &r);
  KeInitializeEvent(&r.done, NotificationEvent, FALSE);
  const LONGLONG start = kernel::Now();
  LARGE_INTEGER due;
  due.QuadPart = -500 * kMillisecond;
  KeSetTimer(&r.timer, due, &r.dpc);
  EXPECT_EQ(KeCancelTimer(&r.timer), TRUE);
  EXPECT_EQ(KeCancelTimer(&r.timer), FALSE);
  kernel::SleepFor(kSecond);
  EXPECT_EQ(r.dpcRuns, 0);

  KeSetTimer(&r.timer, due, &r.dpc);
  due.QuadPart = -2 * kSecond;
  EXPECT_EQ(KeSetTimer(&r.timer, due, &r.dpc), TRUE) << "setting an armed timer again replaces it";
  KeWaitForSingleObject(&r.done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(r.dpcTime - start, 3 * kSecond);
  kernel::SleepFor(kSecond);
  EXPECT_EQ(r.dpcRuns, 1);
}

TEST_F(TimeTest, ThreadsWakeInTheOrderOfTheirDeadlines) {
  std::vector<int> order;
  std::mutex lock;
  auto sleeper = [&](int id, LONGLONG delay) {
    return [&, id, delay] {
      kernel::SleepFor(delay);
      std::lock_guard<std::mutex> guard(lock);
      order.push_back(id);
    };
  };
  {
    kernel::SystemThread a("a", sleeper(1, 300 * kMillisecond));
    kernel::SystemThread b("b", sleeper(2, 100 * kMillisecond));
    kernel::SystemThread c("c", sleeper(3, 200 * kMillisecond));
  }
  EXPECT_EQ(order, (std::vector<int>{2, 3, 1}));
}

TEST_F(TimeTest, WaitThatNothingCanEverEndIsReportedAsAHang) {
  kernel::verifier::Capture capture;
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
  EXPECT_TRUE(capture.Saw("hang")) << "the platform lets the stuck thread go after reporting it";
}

TEST(RealTimeTest, RealClockFollowsTheWallClock) {
  kernel::Platform platform(kernel::ClockMode::Real);
  const LONGLONG a = kernel::Now();
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, TRUE);
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  const LONGLONG b = kernel::Now();
  EXPECT_GE(b, a);
  EXPECT_GT(a, 134116992000000000LL) << "after 2026-01-01";
}

// Wake-ups are what an idle reader must not cause: a platform with nothing
// armed makes none while time passes, and every wait that ends counts once,
// for the thread it ended on.
TEST_F(TimeTest, WakeupsCountEndedWaitsAndNoneWhileIdle) {
  const std::uint64_t before = kernel::Wakeups();
  const std::uint64_t mineBefore = kernel::CallerWakeups();
  kernel::SleepFor(60 * kSecond);
  EXPECT_EQ(kernel::Wakeups() - before, 1u) << "only the sleeper wakes";
  EXPECT_EQ(kernel::CallerWakeups() - mineBefore, 1u);

  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  std::uint64_t waiterWakeups = 0;
  kernel::SystemThread waiter("waiter", [&event, &waiterWakeups] {
    const std::uint64_t start = kernel::CallerWakeups();
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    waiterWakeups = kernel::CallerWakeups() - start;
  });
  kernel::SleepFor(10 * kMillisecond);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  waiter.Join();
  EXPECT_EQ(waiterWakeups, 1u);
}

}  // namespace
