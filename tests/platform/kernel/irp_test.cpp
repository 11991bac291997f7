// Requests between small test drivers: the verifier's report of each kind
// of fault a driver routine makes, and cancellation against completion in
// every order. (The bounded wait that cancels at 7 s runs against the USB
// port's own code in usb_tests.)
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "platform/kernel/io_user.h"
#include "platform/kernel/platform.h"

namespace {

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// A test driver's device that dispatches its requests as the test asks
// (completes them at once by default).
struct Device {
  std::function<NTSTATUS(PIRP)> dispatch = [](PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); };
  PDRIVER_OBJECT driver = kernel::LoadDriver(u"\\Driver\\Test", [](PDRIVER_OBJECT d, PUNICODE_STRING) {
    d->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [](PDEVICE_OBJECT device, PIRP irp) {
      return (*static_cast<Device**>(device->DeviceExtension))->dispatch(irp);
    };
    return STATUS_SUCCESS;
  });
  PDEVICE_OBJECT device = nullptr;
  Device() {
    IoCreateDevice(driver, sizeof(Device*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    *static_cast<Device**>(device->DeviceExtension) = this;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  ~Device() {
    IoDeleteDevice(device);
    kernel::UnloadDriver(driver);
  }
};

void SendThrough(std::function<NTSTATUS(PIRP)> dispatch) {
  Device target;
  target.dispatch = std::move(dispatch);
  kernel::SendIrpAndWait(target.device, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0);
}

void AtDispatchLevel(void (*act)()) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  act();
  KeLowerIrql(old);
}

LARGE_INTEGER g_tenMs = [] {
  LARGE_INTEGER time;
  time.QuadPart = -10 * kernel::kMillisecond;
  return time;
}();
KSPIN_LOCK g_lock;
KEVENT g_never;

const struct {
  const char* report;
  void (*act)();
} kFaults[] = {
    {"completed twice",
     [] {
       SendThrough([](PIRP irp) {
         CompleteWith(irp, STATUS_SUCCESS);
         return CompleteWith(irp, 0);
       });
     }},
    {"still has a cancel routine",
     [] {
       SendThrough([](PIRP irp) {
         IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
         return CompleteWith(irp, STATUS_SUCCESS);
       });
     }},
    {"no longer owns",  // a completion routine freed the request but let completion go on
     [] {
       Device target;
       PIRP irp = IoAllocateIrp(1, FALSE);
       IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
       IoSetCompletionRoutine(
           irp,
           [](PDEVICE_OBJECT, PIRP done, PVOID) {
             IoFreeIrp(done);
             return STATUS_SUCCESS;
           },
           nullptr, TRUE, TRUE, TRUE);
       IoCallDriver(target.device, irp);
     }},
    {"already freed",
     [] {
       PIRP irp = IoAllocateIrp(1, FALSE);
       IoFreeIrp(irp);
       IoFreeIrp(irp);
     }},
    {"never completed",  // the device was deleted while it held a request
     [] {
       auto target = std::make_unique<Device>();
       PIRP parked = nullptr;
       target->dispatch = [&](PIRP irp) {
         IoMarkIrpPending(irp);
         parked = irp;
         return STATUS_PENDING;
       };
       auto request = kernel::StartDeviceIoControl(nullptr, 1, {}, 0, true, target->device);
       target.reset();
       CompleteWith(parked, STATUS_SUCCESS);
       request->Wait();
     }},
    {"deleted",  // a request sent to a deleted device
     [] {
       PDEVICE_OBJECT gone = Device().device;
       PIRP irp = IoAllocateIrp(1, FALSE);
       IoCallDriver(gone, irp);
       IoFreeIrp(irp);
     }},
    {"KeWaitForSingleObject at IRQL 2",
     [] {
       AtDispatchLevel([] {
         KeInitializeEvent(&g_never, NotificationEvent, FALSE);
         LARGE_INTEGER zero{};
         KeWaitForSingleObject(&g_never, Executive, KernelMode, FALSE, &zero);  // testing the state is allowed
         KeStallExecutionProcessor(50);                                         // and so is a stall
         KeWaitForSingleObject(&g_never, Executive, KernelMode, FALSE, &g_tenMs);
       });
     }},
    {"acquired again",
     [] {
       KeInitializeSpinLock(&g_lock);
       KIRQL old;
       KeAcquireSpinLock(&g_lock, &old);
       KeAcquireSpinLockAtDpcLevel(&g_lock);
       KeReleaseSpinLock(&g_lock, old);
     }},
    {"does not hold it",
     [] {
       KeInitializeSpinLock(&g_lock);
       AtDispatchLevel([] { KeReleaseSpinLockFromDpcLevel(&g_lock); });
     }},
    {"below the current IRQL",
     [] {
       AtDispatchLevel([] {
         KIRQL ignored;
         KeRaiseIrql(APC_LEVEL, &ignored);
       });
     }},
    {"armed timer",  // pool freed with an armed timer in it
     [] {
       auto block = static_cast<KTIMER*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER), PoolTag("TQM9")));
       KeInitializeTimer(block);
       KeSetTimer(block, g_tenMs, nullptr);
       ExFreePool(block);
       kernel::SleepFor(kernel::kSecond);  // the forgotten timer must not fire into freed memory
     }},
    {"not a live pool block",
     [] {
       void* block = ExAllocatePoolWithTag(NonPagedPool, 8, PoolTag("TQM9"));
       ExFreePool(block);
       ExFreePool(block);
     }},
    {"already queued",
     [] {
       // The delayed queue has one worker: the blocker keeps it busy, so the item stays queued.
       KeInitializeEvent(&g_never, NotificationEvent, FALSE);
       auto wait = [](PVOID) { KeWaitForSingleObject(&g_never, Executive, KernelMode, FALSE, nullptr); };
       static WORK_QUEUE_ITEM blocker, item;
       ExInitializeWorkItem(&blocker, wait, nullptr);
       ExInitializeWorkItem(&item, wait, nullptr);
       for (PWORK_QUEUE_ITEM queued : {&blocker, &item, &item}) ExQueueWorkItem(queued, DelayedWorkQueue);
       KeSetEvent(&g_never, IO_NO_INCREMENT, FALSE);
       kernel::SleepFor(kernel::kMillisecond);
     }},
    {"unknown to the platform", [] { std::thread([] { kernel::SleepFor(1); }).join(); }},
    {"hang",  // a wait nothing can ever end
     [] {
       KeInitializeEvent(&g_never, NotificationEvent, FALSE);
       KeWaitForSingleObject(&g_never, Executive, KernelMode, FALSE, nullptr);
     }},
};

TEST(VerifierTest, ReportsEachFaultOnce) {
  for (const auto& fault : kFaults) {
    SCOPED_TRACE(fault.report);
    kernel::Platform platform{kernel::ClockMode::Simulated};
    kernel::verifier::Capture capture;
    fault.act();
    const std::vector<std::string> messages = capture.Messages();
    ASSERT_EQ(messages.size(), 1u) << (messages.empty() ? "" : messages.back());
    EXPECT_TRUE(capture.Saw(fault.report)) << messages.front();
  }
}

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
  Device target;
  void SetUp() override { target.dispatch = Park; }
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
    auto request = kernel::StartDeviceIoControl(nullptr, 1, {}, 0, true, target.device);
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
