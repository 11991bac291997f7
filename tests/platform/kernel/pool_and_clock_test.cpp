// Pool accounting per tag, which the leak checks of every suite read, and
// allocation failures on demand; simulated time: timers, DPCs and work items
// land at exactly the instant they are due, at their IRQL. (The clock hold
// is exercised by the libusb port's test, whose parked transfers lend it back.)
#include <gtest/gtest.h>

#include <atomic>

#include "platform/kernel/platform.h"

namespace {

constexpr ULONG kTag = PoolTag("TQM9");

void* Allocate(SIZE_T size, ULONG tag = kTag) { return ExAllocatePoolWithTag(NonPagedPool, size, tag); }

TEST(PoolTest, LiveBlocksPerTagAndFailuresOnDemand) {
  kernel::Platform platform{kernel::ClockMode::Simulated};
  void* blocks[] = {Allocate(0x10400), Allocate(512), Allocate(16, PoolTag("Othr"))};
  EXPECT_EQ(kernel::pool::Stats(kTag).liveBlocks, 2u);
  EXPECT_EQ(kernel::pool::Stats(kTag).liveBytes, 0x10400u + 512u);
  EXPECT_EQ(static_cast<UCHAR*>(blocks[1])[0], 0xCD) << "fresh pool is not zeroed";
  for (void* block : blocks) ExFreePool(block);
  EXPECT_EQ(kernel::pool::Stats(kTag).liveBlocks, 0u);
  EXPECT_EQ(kernel::pool::Stats(kTag).liveBytes, 0u);

  kernel::pool::FailAllocation(2);
  void* first = Allocate(8, PoolTag("Othr"));
  EXPECT_EQ(Allocate(8), nullptr) << "the second allocation, whatever the tag before it";
  ExFreePool(first);
  kernel::pool::FailTag(PoolTag("Irp "), true);
  EXPECT_EQ(IoAllocateIrp(2, FALSE), nullptr) << "requests come from pool too";
  void* other = Allocate(8);
  EXPECT_NE(other, nullptr) << "only the tag asked for fails";
  ExFreePool(other);
  EXPECT_EQ(kernel::pool::Stats(kTag).failedAllocations, 1u);
}

using kernel::kMillisecond;
using kernel::kSecond;

LARGE_INTEGER Relative(LONGLONG time) {
  LARGE_INTEGER value;
  value.QuadPart = -time;
  return value;
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
// cancelled timer never fires.
TEST(TimeTest, PollTimerDpcAndWorkItemLandAtTheirInstant) {
  kernel::Platform platform{kernel::ClockMode::Simulated};
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

  // A cancelled timer never fires.
  KeSetTimer(&p.timer, Relative(500 * kMillisecond), &p.dpc);
  EXPECT_EQ(KeCancelTimer(&p.timer), TRUE);
  kernel::SleepFor(kSecond);
  EXPECT_EQ(p.dpcRuns, 1);
}

}  // namespace
