// Cancellation against completion, in every order, and the timed wait with
// cancel that a driver's synchronous USB submission relies on.
#include <gtest/gtest.h>

#include "tests/platform/kernel/test_stack.h"

namespace {

using kerneltest::Layer;
using kerneltest::Stack;

PIRP g_parked = nullptr;

void CancelParked(PDEVICE_OBJECT, PIRP irp) {
  g_parked = nullptr;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  kerneltest::CompleteWith(irp, STATUS_CANCELLED);
}

// The bottom driver parks every request with a cancel routine, as a bus driver
// parks a transfer that the device has not answered yet.
NTSTATUS Park(Layer&, PDEVICE_OBJECT, PIRP irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  IoMarkIrpPending(irp);
  g_parked = irp;
  IoSetCancelRoutine(irp, CancelParked);
  IoReleaseCancelSpinLock(irql);
  return STATUS_PENDING;
}

// The device answers: it may complete only if it takes the cancel routine back first.
bool TakeBack(PIRP irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  const bool mine = IoSetCancelRoutine(irp, nullptr) != nullptr;
  if (mine) g_parked = nullptr;
  IoReleaseCancelSpinLock(irql);
  return mine;
}

class CancelTest : public ::testing::Test {
 protected:
  kernel::Platform platform{kernel::ClockMode::Simulated};
  Stack stack{1};
  void SetUp() override { stack[0].dispatch = Park; }
};

TEST_F(CancelTest, CompletionBeforeCancel) {
  auto request = kernel::StartDeviceIoControl(nullptr, 1, {}, 0, true, stack[0].device);
  PIRP irp = g_parked;
  ASSERT_TRUE(TakeBack(irp));
  kerneltest::CompleteWith(irp, STATUS_SUCCESS);
  EXPECT_FALSE(request->Cancel()) << "nothing left to cancel";
  EXPECT_EQ(request->Wait().status, STATUS_SUCCESS);
}

TEST_F(CancelTest, CancelBeforeCompletion) {
  auto request = kernel::StartDeviceIoControl(nullptr, 1, {}, 0, true, stack[0].device);
  PIRP irp = g_parked;
  EXPECT_TRUE(request->Cancel());
  EXPECT_EQ(request->Wait().status, STATUS_CANCELLED);
  EXPECT_EQ(g_parked, nullptr);
  EXPECT_EQ(kernel::irps::Live(), 0u);
  (void)irp;  // freed: the device must not touch it again, and TakeBack would not find it
}

TEST_F(CancelTest, CancelWhileTheDeviceIsCompleting) {
  // The device has taken the cancel routine back but not completed yet when the cancel comes.
  auto request = kernel::StartDeviceIoControl(nullptr, 1, {}, 0, true, stack[0].device);
  PIRP irp = g_parked;
  ASSERT_TRUE(TakeBack(irp));
  EXPECT_TRUE(request->Cancel() == false);
  EXPECT_EQ(irp->Cancel, TRUE) << "the request is marked cancelled even though no routine ran";
  kerneltest::CompleteWith(irp, STATUS_SUCCESS);
  EXPECT_EQ(request->Wait().status, STATUS_SUCCESS);
}

// The way a driver waits for a USB request with a bound: wait 7 s; if the
// time runs out, cancel at APC_LEVEL unless the event is already set, then
// wait for the cancelled request to come back.
NTSTATUS SubmitWithBound(PDEVICE_OBJECT target, IO_STATUS_BLOCK* iosb) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(0x220003, target, nullptr, 0, nullptr, 0, TRUE, &event, iosb);
  NTSTATUS status = IoCallDriver(target, irp);
  if (status != STATUS_PENDING) return status;
  LARGE_INTEGER timeout;
  timeout.QuadPart = -70000000;
  if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    if (KeReadStateEvent(&event) == 0) IoCancelIrp(irp);
    KeLowerIrql(old);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return STATUS_TIMEOUT;
  }
  return iosb->Status;
}

TEST_F(CancelTest, BoundedWaitCancelsAfterSevenSecondsOfSimulatedTime) {
  const LONGLONG start = kernel::Now();
  IO_STATUS_BLOCK iosb{};
  EXPECT_EQ(SubmitWithBound(stack[0].device, &iosb), STATUS_TIMEOUT);
  EXPECT_EQ(kernel::Now() - start, 7 * kernel::kSecond);
  EXPECT_EQ(iosb.Status, STATUS_CANCELLED) << "the cancelled request came back before the call returned";
  EXPECT_EQ(kernel::irps::Live(), 0u);
}

TEST_F(CancelTest, RequestCompletingAsTheBoundRunsOutEndsExactlyOnce) {
  // The device answers at exactly 7 s, from a DPC, while the waiter times out:
  // whichever wins, the request ends once and is not touched after it is freed.
  static KEVENT dpcRan;
  KeInitializeEvent(&dpcRan, NotificationEvent, FALSE);
  KTIMER timer;
  KDPC dpc;
  KeInitializeTimer(&timer);
  KeInitializeDpc(
      &dpc,
      [](KDPC*, PVOID, PVOID, PVOID) {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        PIRP irp = g_parked;
        const bool mine = irp != nullptr && IoSetCancelRoutine(irp, nullptr) != nullptr;
        if (mine) g_parked = nullptr;
        IoReleaseCancelSpinLock(irql);
        if (mine) kerneltest::CompleteWith(irp, STATUS_SUCCESS);
        KeSetEvent(&dpcRan, IO_NO_INCREMENT, FALSE);
      },
      nullptr);
  LARGE_INTEGER due;
  due.QuadPart = -70000000;
  KeSetTimer(&timer, due, &dpc);
  IO_STATUS_BLOCK iosb{};
  kernel::verifier::Capture capture;
  EXPECT_EQ(SubmitWithBound(stack[0].device, &iosb), STATUS_TIMEOUT);
  KeWaitForSingleObject(&dpcRan, Executive, KernelMode, FALSE, nullptr);
  EXPECT_TRUE(iosb.Status == STATUS_SUCCESS || iosb.Status == STATUS_CANCELLED) << std::hex << iosb.Status;
  EXPECT_TRUE(capture.Messages().empty()) << capture.Messages().front();
  EXPECT_EQ(kernel::irps::Live(), 0u);
}

TEST_F(CancelTest, RequestCompletedAtOnceNeedsNoWait) {
  stack[0].dispatch = [](Layer& self, PDEVICE_OBJECT, PIRP irp) { return self.Complete(irp, STATUS_UNSUCCESSFUL); };
  const LONGLONG start = kernel::Now();
  IO_STATUS_BLOCK iosb{};
  EXPECT_EQ(SubmitWithBound(stack[0].device, &iosb), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(kernel::Now(), start);
}

}  // namespace
