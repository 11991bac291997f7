// Cancellation against completion, in every order. (The bounded wait that
// cancels at 7 s runs against the USB port's own code in usb_tests.)
#include <gtest/gtest.h>

#include "tests/platform/kernel/test_stack.h"

namespace {

using kerneltest::CompleteWith;

PIRP g_parked = nullptr;

// The bottom driver parks every request with a cancel routine, as a bus
// driver parks a transfer the device has not answered yet.
NTSTATUS Park(PIRP irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  IoMarkIrpPending(irp);
  g_parked = irp;
  IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP cancelled) {
    g_parked = nullptr;
    IoReleaseCancelSpinLock(cancelled->CancelIrql);
    CompleteWith(cancelled, STATUS_CANCELLED);
  });
  IoReleaseCancelSpinLock(irql);
  return STATUS_PENDING;
}

// The device answers: it may complete only the request whose cancel routine it took back.
PIRP TakeBack() {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP irp = g_parked;
  if (irp != nullptr && IoSetCancelRoutine(irp, nullptr) == nullptr) irp = nullptr;
  if (irp != nullptr) g_parked = nullptr;
  IoReleaseCancelSpinLock(irql);
  return irp;
}

class CancelTest : public ::testing::Test {
 protected:
  kernel::Platform platform{kernel::ClockMode::Simulated};
  kerneltest::Stack stack{1};
  void SetUp() override { stack[0].dispatch = Park; }
};

TEST_F(CancelTest, CancelAndCompletionInEveryOrderEndTheRequestOnce) {
  const struct {
    const char* order;
    bool takenBack, completedBeforeCancel, cancelled;
  } orders[] = {{"completion before cancel", true, true, false},
                {"cancel before completion", false, false, true},
                // The device took the routine back but has not completed yet: the request is
                // marked cancelled although no routine runs, and ends as the device says.
                {"cancel while the device completes", true, false, false}};
  for (const auto& o : orders) {
    SCOPED_TRACE(o.order);
    kernel::verifier::Capture capture;
    auto request = kernel::StartDeviceIoControl(nullptr, 1, {}, 0, true, stack[0].device);
    PIRP irp = g_parked;
    if (o.takenBack) {
      ASSERT_EQ(TakeBack(), irp);
    }
    if (o.completedBeforeCancel) CompleteWith(irp, STATUS_SUCCESS);
    EXPECT_EQ(request->Cancel(), o.cancelled);
    if (o.takenBack && !o.completedBeforeCancel) {
      EXPECT_EQ(irp->Cancel, TRUE);
      CompleteWith(irp, STATUS_SUCCESS);
    }
    EXPECT_EQ(request->Wait().status, o.cancelled ? STATUS_CANCELLED : STATUS_SUCCESS);
    EXPECT_EQ(g_parked, nullptr);
    EXPECT_TRUE(capture.Messages().empty());
    EXPECT_EQ(kernel::irps::Live(), 0u);
  }
}

}  // namespace
