// Simulated time: timers, DPCs and work items land at exactly the simulated
// instant they are due, and a hold keeps the clock still.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/kernel/platform.h"

namespace {

using kernel::kMillisecond;
using kernel::kSecond;

LARGE_INTEGER Relative(LONGLONG time) {
  LARGE_INTEGER value;
  value.QuadPart = -time;
  return value;
}

class TimeTest : public ::testing::Test {
 protected:
  kernel::Platform platform{kernel::ClockMode::Simulated};
};

// The libusb port's hold: a thread the platform does not know answers the
// wait, so the 7-second bound must not be reached meanwhile.
TEST_F(TimeTest, AHoldKeepsTheClockStillWhileWorkOutsideThePlatformFinishes) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  const LONGLONG start = kernel::Now();
  kernel::HoldClock();
  std::thread outside([&] {
    while (kernel::threads::Waiting() == 0) std::this_thread::yield();
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    kernel::ReleaseClock();
  });
  LARGE_INTEGER timeout = Relative(7 * kSecond);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  EXPECT_EQ(kernel::Now(), start);
  outside.join();
  KeResetEvent(&event);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT)
      << "without a hold the clock jumps to the deadline";
  EXPECT_EQ(kernel::Now() - start, 7 * kSecond);
}

struct Poll {
  KTIMER timer;
  KDPC dpc;
  WORK_QUEUE_ITEM item;
  KEVENT done;
  std::atomic<int> dpcRuns{0};
  LONGLONG dpcTime = 0, workTime = 0;
  KIRQL dpcIrql = 0, workIrql = 0;
};

void PollWork(PVOID context) {
  auto p = static_cast<Poll*>(context);
  p->workTime = kernel::Now();
  p->workIrql = KeGetCurrentIrql();
  KeSetEvent(&p->done, IO_NO_INCREMENT, FALSE);
}

void PollDpc(KDPC*, PVOID context, PVOID, PVOID) {
  auto p = static_cast<Poll*>(context);
  p->dpcRuns++;
  p->dpcTime = kernel::Now();
  p->dpcIrql = KeGetCurrentIrql();
  ExInitializeWorkItem(&p->item, PollWork, p);
  ExQueueWorkItem(&p->item, CriticalWorkQueue);
}

// The driver's card poll: a timer's DPC at DISPATCH_LEVEL queues a work item
// that runs at PASSIVE_LEVEL at the same instant; a
// cancelled timer never fires, a replaced one fires once at its last due time.
TEST_F(TimeTest, PollTimerDpcAndWorkItemLandAtTheirInstant) {
  Poll p;
  KeInitializeTimer(&p.timer);
  KeInitializeDpc(&p.dpc, PollDpc, &p);
  KeInitializeEvent(&p.done, NotificationEvent, FALSE);
  LONGLONG start = kernel::Now();
  EXPECT_EQ(KeSetTimer(&p.timer, Relative(500 * kMillisecond), &p.dpc), FALSE);
  KeWaitForSingleObject(&p.done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(p.dpcTime - start, 500 * kMillisecond);
  EXPECT_EQ(p.workTime, p.dpcTime);
  EXPECT_EQ(p.dpcIrql, DISPATCH_LEVEL);
  EXPECT_EQ(p.workIrql, PASSIVE_LEVEL);
  EXPECT_EQ(KeReadStateTimer(&p.timer), TRUE);

  KeResetEvent(&p.done);
  start = kernel::Now();
  KeSetTimer(&p.timer, Relative(500 * kMillisecond), &p.dpc);
  EXPECT_EQ(KeCancelTimer(&p.timer), TRUE);
  EXPECT_EQ(KeCancelTimer(&p.timer), FALSE);
  kernel::SleepFor(kSecond);
  KeSetTimer(&p.timer, Relative(500 * kMillisecond), &p.dpc);
  EXPECT_EQ(KeSetTimer(&p.timer, Relative(2 * kSecond), &p.dpc), TRUE) << "setting an armed timer replaces it";
  KeWaitForSingleObject(&p.done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(p.dpcTime - start, 3 * kSecond);
  kernel::SleepFor(kSecond);
  EXPECT_EQ(p.dpcRuns, 2);
}

}  // namespace
