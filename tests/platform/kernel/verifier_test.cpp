// Deliberately broken driver routines: the platform must say what is wrong.
#include <gtest/gtest.h>

#include <thread>

#include "tests/platform/kernel/test_stack.h"

namespace {

using kerneltest::Layer;
using kerneltest::Stack;

class VerifierTest : public ::testing::Test {
 protected:
  kernel::Platform platform{kernel::ClockMode::Simulated};
  kernel::verifier::Capture capture;
};

TEST_F(VerifierTest, RequestCompletedTwice) {
  Stack stack(1);
  stack[0].dispatch = [](Layer& self, PDEVICE_OBJECT, PIRP irp) {
    self.Complete(irp, STATUS_SUCCESS);
    return self.Complete(irp, STATUS_SUCCESS);
  };
  kernel::SendIrpAndWait(stack[0].device, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0);
  EXPECT_TRUE(capture.Saw("completed twice"));
}

TEST_F(VerifierTest, RequestCompletedWithItsCancelRoutineStillSet) {
  Stack stack(1);
  stack[0].dispatch = [](Layer& self, PDEVICE_OBJECT, PIRP irp) {
    IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
    const NTSTATUS status = self.Complete(irp, STATUS_SUCCESS);
    return status;
  };
  kernel::SendIrpAndWait(stack[0].device, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0);
  EXPECT_TRUE(capture.Saw("still has a cancel routine"));
}

TEST_F(VerifierTest, CompletionRoutineThatFreesTheRequestButLetsCompletionGoOn) {
  Stack stack(1);
  stack[0].dispatch = [](Layer& self, PDEVICE_OBJECT, PIRP irp) { return self.Complete(irp, STATUS_SUCCESS); };
  PIRP irp = IoAllocateIrp(stack[0].device->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(
      irp,
      [](PDEVICE_OBJECT, PIRP done, PVOID) {
        IoFreeIrp(done);
        return STATUS_SUCCESS;  // wrong: completion goes on with a freed request
      },
      nullptr, TRUE, TRUE, TRUE);
  IoCallDriver(stack[0].device, irp);
  EXPECT_TRUE(capture.Saw("no longer owns"));
}

TEST_F(VerifierTest, RequestUsedAfterItWasFreed) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoFreeIrp(irp);
  IoFreeIrp(irp);
  EXPECT_TRUE(capture.Saw("already freed"));
}

TEST_F(VerifierTest, DeviceDeletedWhileARequestItTookIsUncompleted) {
  auto stack = std::make_unique<Stack>(1);
  PIRP parked = nullptr;
  (*stack)[0].dispatch = [&](Layer&, PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    parked = irp;
    return STATUS_PENDING;
  };
  auto request = kernel::StartDeviceIoControl(nullptr, 1, {}, 0, true, (*stack)[0].device);
  stack.reset();
  EXPECT_TRUE(capture.Saw("never completed"));
  kerneltest::CompleteWith(parked, STATUS_SUCCESS);
  request->Wait();
}

// A completion routine whose last act lets its device go (a removal waiting
// for its I/O count) may see the device deleted before it returns: the
// request came back from below, so the device holds nothing uncompleted.
TEST_F(VerifierTest, DeviceDeletedByItsOwnCompletionRoutineHoldsNothing) {
  Stack stack(2);
  stack.Top().dispatch = [](Layer& self, PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID context) {
          Layer& top = *static_cast<Layer*>(context);
          IoDetachDevice(top.lower);
          IoDeleteDevice(top.device);
          top.lower = top.device = nullptr;
          return STATUS_SUCCESS;
        },
        &self, TRUE, TRUE, TRUE);
    return IoCallDriver(self.lower, irp);
  };
  kernel::SendIrpAndWait(stack.Top().device, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0);
  EXPECT_FALSE(capture.Saw("never completed"));
}

TEST_F(VerifierTest, WaitsThatMaySleepAtDispatchLevel) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  EXPECT_TRUE(capture.Messages().empty()) << "a zero timeout only tests the state, which is allowed";
  LARGE_INTEGER timeout;
  timeout.QuadPart = -10 * kernel::kMillisecond;
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
  EXPECT_TRUE(capture.Saw("KeWaitForSingleObject at IRQL 2"));
  KeDelayExecutionThread(KernelMode, FALSE, &timeout);
  EXPECT_TRUE(capture.Saw("KeDelayExecutionThread at IRQL 2"));
  const LONGLONG start = kernel::Now();
  for (int i = 0; i < 3 * 20; ++i) KeStallExecutionProcessor(50);  // the busy wait that is allowed there
  EXPECT_EQ(kernel::Now() - start, 3 * kernel::kMillisecond);
  KeLowerIrql(old);
  EXPECT_EQ(capture.Messages().size(), 2u);
}

TEST_F(VerifierTest, SpinLockMisuse) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeAcquireSpinLockAtDpcLevel(&lock);
  EXPECT_TRUE(capture.Saw("acquired again"));
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  KeReleaseSpinLockFromDpcLevel(&lock);
  EXPECT_TRUE(capture.Saw("does not hold it"));
  KIRQL ignored;
  KeRaiseIrql(DISPATCH_LEVEL, &ignored);
  KeRaiseIrql(APC_LEVEL, &ignored);
  EXPECT_TRUE(capture.Saw("below the current IRQL"));
  KeLowerIrql(PASSIVE_LEVEL);
}

TEST_F(VerifierTest, PoolFreedTwiceOrWhileItHoldsAnArmedTimer) {
  auto block = static_cast<KTIMER*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER), PoolTag("TQM9")));
  KeInitializeTimer(block);
  LARGE_INTEGER due;
  due.QuadPart = -kernel::kSecond;
  KeSetTimer(block, due, nullptr);
  ExFreePool(block);
  EXPECT_TRUE(capture.Saw("armed timer"));
  ExFreePool(block);
  EXPECT_TRUE(capture.Saw("not a live pool block"));
  kernel::SleepFor(2 * kernel::kSecond);  // the forgotten timer must not fire into freed memory
}

TEST_F(VerifierTest, WorkItemQueuedTwice) {
  static KEVENT release;
  KeInitializeEvent(&release, NotificationEvent, FALSE);
  auto waitForRelease = [](PVOID) { KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr); };
  // The delayed queue has one worker: the blocker keeps it busy, so the item stays queued.
  WORK_QUEUE_ITEM blocker;
  WORK_QUEUE_ITEM item;
  ExInitializeWorkItem(&blocker, waitForRelease, nullptr);
  ExInitializeWorkItem(&item, waitForRelease, nullptr);
  ExQueueWorkItem(&blocker, DelayedWorkQueue);
  ExQueueWorkItem(&item, DelayedWorkQueue);
  ExQueueWorkItem(&item, DelayedWorkQueue);
  EXPECT_TRUE(capture.Saw("already queued"));
  KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
  kernel::SleepFor(kernel::kMillisecond);
}

TEST_F(VerifierTest, UnknownThreadWaitingInSimulatedTime) {
  std::thread stranger([] { kernel::SleepFor(0 + 1); });
  stranger.join();
  EXPECT_TRUE(capture.Saw("unknown to the platform"));
}

TEST_F(VerifierTest, RequestSentToADeletedDevice) {
  PDEVICE_OBJECT gone;
  {
    Stack stack(1);
    gone = stack[0].device;
  }
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoCallDriver(gone, irp);
  EXPECT_TRUE(capture.Saw("deleted"));
  IoFreeIrp(irp);
}

}  // namespace
