// What the driver suites stand on in the kernel stand-in: the driver
// verifier (deliberately broken driver routines, one row per kind of fault
// it reports, each reported exactly once) and pool accounting per tag with
// failures on demand: a driver test that breaks a rule or injects a failure
// relies on both and would pass silently without them (a hang would not: a
// test that hangs fails at its time-out, reported or not). Simulated time fails
// the driver's poll and timeout tests loudly when wrong. Cancellation against
// completion runs against the USB port's own cancel routine in usb_tests,
// where the reply and the 7 s bound meet; the clock hold in the libusb
// port's test, whose parked transfers lend it back.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/kernel/io_user.h"
#include "platform/kernel/platform.h"

namespace {

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
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

// Wrong: completion goes on with a request the routine freed.
NTSTATUS FreeAndGoOn(PDEVICE_OBJECT, PIRP irp, PVOID) {
  IoFreeIrp(irp);
  return STATUS_SUCCESS;
}

void AtDispatchLevel(void (*act)()) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  act();
  KeLowerIrql(old);
}

LARGE_INTEGER g_tenMs{.QuadPart = -10 * kernel::kMillisecond};
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
       IoSetCompletionRoutine(irp, FreeAndGoOn, nullptr, TRUE, TRUE, TRUE);
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

constexpr ULONG kTag = PoolTag("TQM9");

void* Allocate(SIZE_T size, ULONG tag = kTag) { return ExAllocatePoolWithTag(NonPagedPool, size, tag); }

TEST(PoolTest, LiveBlocksPerTagAndFailuresOnDemand) {
  kernel::Platform platform{kernel::ClockMode::Simulated};
  void* blocks[] = {Allocate(0x10400), Allocate(512), Allocate(16, PoolTag("Othr"))};
  EXPECT_EQ(kernel::pool::Stats(kTag).liveBlocks, 2u);
  if (kernel::pool::kFillPatterns) {
    EXPECT_EQ(static_cast<UCHAR*>(blocks[1])[0], 0xCD) << "fresh pool is not zeroed";
  }
  for (void* block : blocks) ExFreePool(block);
  EXPECT_EQ(kernel::pool::Stats(kTag).liveBlocks, 0u);

  kernel::pool::FailAllocation(2);
  void* first = Allocate(8, PoolTag("Othr"));
  EXPECT_EQ(Allocate(8), nullptr) << "the second allocation, whatever the tag before it";
  ExFreePool(first);
  kernel::pool::FailTag(PoolTag("Irp "), true);
  EXPECT_EQ(IoAllocateIrp(2, FALSE), nullptr) << "requests come from pool too";
}

// One platform thread at a time: the threads a signal lets go run in the
// order they were let go, once the thread that let them go waits; and a
// reset brings the clock back, so a second run takes the same course.
TEST(SchedulingTest, OneAtATimeRunsTheThreadsLetGoInTurnTheSameEachTime) {
  kernel::Platform platform{kernel::ClockMode::Simulated, kernel::Scheduling::OneAtATime};
  const LONGLONG start = kernel::Now();
  for (int run = 0; run < 2; ++run) {
    std::string order;
    KEVENT go;
    KeInitializeEvent(&go, NotificationEvent, FALSE);
    const auto waitThenNote = [&](char name) {
      return [&, name] {
        KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr);
        order += name;
      };
    };
    kernel::SystemThread a("a", waitThenNote('a'));
    kernel::SystemThread b("b", waitThenNote('b'));
    kernel::SleepFor(kernel::kSecond);
    KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
    order += 'm';
    a.Join();
    b.Join();
    EXPECT_EQ(order, "mab");
    EXPECT_EQ(kernel::Now() - start, kernel::kSecond);
    platform.Reset();
  }
}

}  // namespace
