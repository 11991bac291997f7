// Completion runs from the lowest driver upwards, stops where a routine keeps
// the request, and carries the pending state up a stack.
#include <gtest/gtest.h>

#include "tests/platform/kernel/test_stack.h"

namespace {

using kerneltest::Layer;
using kerneltest::Stack;

struct Seen {
  std::vector<std::string>* log;
  std::string name;
  BOOLEAN pendingReturned = FALSE;
  PDEVICE_OBJECT device = nullptr;
  PIRP kept = nullptr;
  NTSTATUS result = STATUS_SUCCESS;
};

NTSTATUS RecordingRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto seen = static_cast<Seen*>(context);
  seen->log->push_back(seen->name + " routine");
  seen->pendingReturned = irp->PendingReturned;
  seen->device = device;
  if (seen->result == STATUS_MORE_PROCESSING_REQUIRED) {
    seen->kept = irp;
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return seen->result;
}

// The layer forwards the request with a completion routine of its own.
kerneltest::DispatchBehaviour ForwardWithRoutine(Seen* seen) {
  return [seen](Layer& self, PDEVICE_OBJECT, PIRP irp) {
    self.log->push_back(self.name + " dispatch");
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, RecordingRoutine, seen, TRUE, TRUE, TRUE);
    return IoCallDriver(self.lower, irp);
  };
}

class CompletionTest : public ::testing::Test {
 protected:
  kernel::Platform platform{kernel::ClockMode::Simulated};
};

TEST_F(CompletionTest, RoutinesRunBottomUpAndStopAtMoreProcessingRequired) {
  Stack stack(3);
  Seen top{&stack.log, "top"};
  Seen middle{&stack.log, "middle", FALSE, nullptr, nullptr, STATUS_MORE_PROCESSING_REQUIRED};
  stack[2].dispatch = ForwardWithRoutine(&top);
  stack[1].dispatch = ForwardWithRoutine(&middle);
  stack[0].dispatch = [](Layer& self, PDEVICE_OBJECT, PIRP irp) {
    self.log->push_back("bottom completes");
    irp->IoStatus.Information = 7;
    return self.Complete(irp, STATUS_SUCCESS);
  };

  // The middle driver keeps the request; it finishes it from a thread of its own later.
  kernel::SystemThread finisher("finisher", [&] {
    kernel::SleepFor(kernel::kMillisecond);
    ASSERT_NE(middle.kept, nullptr);
    stack.log.push_back("middle completes again");
    IoCompleteRequest(middle.kept, IO_NO_INCREMENT);
  });
  const IO_STATUS_BLOCK result = kernel::SendIrpAndWait(stack.Top().device, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0);
  finisher.Join();

  EXPECT_EQ(result.Status, STATUS_SUCCESS);
  EXPECT_EQ(result.Information, 7u);
  const std::vector<std::string> expected = {"top dispatch",    "middle dispatch",       "bottom completes",
                                             "middle routine",  "middle completes again", "top routine"};
  EXPECT_EQ(stack.log, expected);
  EXPECT_EQ(middle.device, stack[1].device) << "a routine gets the device of the driver that set it";
  EXPECT_EQ(top.device, stack[2].device);
  EXPECT_EQ(kernel::irps::Live(), 0u);
}

TEST_F(CompletionTest, PendingIsCarriedUpOnlyWhenTheLowerDriverReturnedIt) {
  for (bool bottomPends : {false, true}) {
    SCOPED_TRACE(bottomPends ? "bottom pends" : "bottom completes at once");
    Stack stack(3);
    Seen top{&stack.log, "top"};
    PIRP parked = nullptr;
    stack[2].dispatch = ForwardWithRoutine(&top);
    stack[1].dispatch = [](Layer& self, PDEVICE_OBJECT, PIRP irp) { return self.PassDown(irp); };
    stack[0].dispatch = [&](Layer& self, PDEVICE_OBJECT, PIRP irp) {
      if (!bottomPends) return self.Complete(irp, STATUS_SUCCESS);
      IoMarkIrpPending(irp);
      parked = irp;
      return STATUS_PENDING;
    };
    kernel::SystemThread completer("completer", [&] {
      if (!bottomPends) return;
      kernel::SleepFor(10 * kernel::kMillisecond);
      kerneltest::CompleteWith(parked, STATUS_SUCCESS);
    });
    const IO_STATUS_BLOCK result = kernel::SendIrpAndWait(stack.Top().device, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0);
    completer.Join();
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(top.pendingReturned, bottomPends ? TRUE : FALSE)
        << "the middle driver has no routine, so the I/O manager marks its location pending for it";
  }
}

TEST_F(CompletionTest, RoutinesRunOnlyForTheOutcomesTheyAskedFor) {
  struct Case {
    NTSTATUS status;
    bool onSuccess, onError;
    bool expectCall;
  } cases[] = {
      {STATUS_SUCCESS, true, false, true},
      {STATUS_SUCCESS, false, true, false},
      {STATUS_UNSUCCESSFUL, false, true, true},
      {STATUS_UNSUCCESSFUL, true, false, false},
      {STATUS_TIMEOUT, true, false, true},  // 0x102 is a success status
  };
  for (const Case& c : cases) {
    Stack stack(2);
    Seen top{&stack.log, "top"};
    stack[1].dispatch = [&](Layer& self, PDEVICE_OBJECT, PIRP irp) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, RecordingRoutine, &top, c.onSuccess, c.onError, FALSE);
      return IoCallDriver(self.lower, irp);
    };
    stack[0].dispatch = [&](Layer& self, PDEVICE_OBJECT, PIRP irp) { return self.Complete(irp, c.status); };
    const IO_STATUS_BLOCK result = kernel::SendIrpAndWait(stack.Top().device, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0);
    EXPECT_EQ(result.Status, c.status);
    EXPECT_EQ(!stack.log.empty(), c.expectCall) << std::hex << c.status;
  }
}

TEST_F(CompletionTest, BuiltDeviceControlRequestSetsTheEventAndStatusBlockAndIsFreed) {
  Stack stack(1);
  std::vector<UCHAR> seenInput;
  stack[0].dispatch = [&](Layer& self, PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    auto buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    seenInput.assign(buffer, buffer + location->Parameters.DeviceIoControl.InputBufferLength);
    buffer[0] = 0xA5;
    buffer[1] = 0x5A;
    irp->IoStatus.Information = 2;
    return self.Complete(irp, STATUS_SUCCESS);
  };
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  UCHAR input[3] = {1, 2, 3};
  UCHAR output[4] = {};
  PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                           stack[0].device, input, sizeof input, output, sizeof output, FALSE,
                                           &event, &iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IoCallDriver(stack[0].device, irp), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 2u);
  EXPECT_EQ(seenInput, (std::vector<UCHAR>{1, 2, 3}));
  EXPECT_EQ(output[0], 0xA5);
  EXPECT_EQ(output[1], 0x5A);
  EXPECT_EQ(kernel::irps::Live(), 0u);
  EXPECT_EQ(kernel::pool::LiveBlocks(PoolTag("Sbuf")), 0u);
}

}  // namespace
