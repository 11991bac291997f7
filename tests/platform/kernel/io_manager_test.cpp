// The I/O manager as the driver's tests lean on it: handles reach the top of
// the stack and an exclusive device admits one at a time; the power manager's
// requests travel down the whole stack in the order a sleep needs.
#include <gtest/gtest.h>

#include "platform/kernel/power_manager.h"
#include "tests/platform/kernel/test_stack.h"

namespace {

using kerneltest::CompleteWith;

TEST(IoManagerTest, HandlesReachTheTopAndAnExclusiveDeviceAdmitsOneAtATime) {
  kernel::Platform platform{kernel::ClockMode::Simulated};
  kerneltest::Stack stack(2, /*exclusiveTop=*/true);
  std::vector<std::string> seen;
  stack[1].dispatch = [&](PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    seen.push_back(std::to_string(location->MajorFunction) + ":" +
                   std::to_string(location->FileObject->FileName.Length / 2));
    return CompleteWith(irp, STATUS_SUCCESS);
  };
  PFILE_OBJECT first = nullptr;
  PFILE_OBJECT second = nullptr;
  EXPECT_EQ(kernel::OpenFile(stack[0].device, u"\\pipe01", &first), STATUS_SUCCESS);
  EXPECT_EQ(kernel::OpenFile(stack[0].device, u"", &second), STATUS_ACCESS_DENIED);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(kernel::CloseFile(first), STATUS_SUCCESS);
  EXPECT_EQ(kernel::OpenFile(stack[0].device, u"", &second), STATUS_SUCCESS);
  EXPECT_EQ(kernel::CloseFile(second), STATUS_SUCCESS);
  EXPECT_EQ(seen, (std::vector<std::string>{"0:7", "18:7", "2:7", "0:0", "18:0", "2:0"})) << "create, cleanup, close";
  EXPECT_EQ(kernel::pool::LiveBlocks(PoolTag("File")), 0u);
}

// The top driver owns the power policy: when the system state comes it asks
// for the device state through PoRequestPowerIrp, and both travel down.
TEST(IoManagerTest, SleepAndResumeReachThePolicyOwnerWhichRequestsTheDeviceState) {
  kernel::Platform platform{kernel::ClockMode::Simulated};
  kerneltest::Stack stack(2);
  std::vector<std::string> log;
  NTSTATUS answer = STATUS_SUCCESS;
  auto record = [&](const char* layer, PIRP irp) {
    const IO_STACK_LOCATION& l = *IoGetCurrentIrpStackLocation(irp);
    const bool system = l.Parameters.Power.Type == SystemPowerState;
    const int state = system ? int{l.Parameters.Power.State.SystemState} : int{l.Parameters.Power.State.DeviceState};
    log.push_back(std::string(layer) + (l.MinorFunction == IRP_MN_QUERY_POWER ? " query " : " set ") +
                  (system ? "S" : "D") + std::to_string(state - 1));
    PoStartNextPowerIrp(irp);
    return system && l.MinorFunction == IRP_MN_SET_POWER;
  };
  stack[0].dispatch = [&](PIRP irp) {
    record("bottom", irp);
    return CompleteWith(irp, answer);
  };
  stack[1].dispatch = [&](PIRP irp) {
    if (record("top", irp)) {
      POWER_STATE device;
      device.DeviceState = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.SystemState == PowerSystemWorking
                               ? PowerDeviceD0
                               : PowerDeviceD3;
      KEVENT done;
      KeInitializeEvent(&done, NotificationEvent, FALSE);
      EXPECT_EQ(PoRequestPowerIrp(
                    stack[0].device, IRP_MN_SET_POWER, device,
                    [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK iosb) {
                      EXPECT_EQ(iosb->Status, STATUS_SUCCESS);
                      KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
                    },
                    &done, nullptr),
                STATUS_PENDING);
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(stack[1].lower, irp);
  };
  EXPECT_EQ(kernel::SleepSystem(stack[0].device, PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(kernel::ResumeSystem(stack[0].device), STATUS_SUCCESS);
  EXPECT_EQ(log, (std::vector<std::string>{"top query S3", "bottom query S3",  // may the system sleep
                                           "top set S3", "top set D3", "bottom set D3", "bottom set S3",
                                           "top set S0", "top set D0", "bottom set D0", "bottom set S0"}));
  EXPECT_EQ(kernel::PowerRecord(stack[1].device).startNextPowerIrpCalls, 5u);
  EXPECT_EQ(kernel::irps::Live(), 0u);

  log.clear();
  answer = STATUS_DEVICE_BUSY;
  EXPECT_EQ(kernel::SleepSystem(stack[0].device, PowerSystemHibernate), STATUS_DEVICE_BUSY);
  EXPECT_EQ(log, (std::vector<std::string>{"top query S4", "bottom query S4"})) << "a refused query stops the sleep";
}

}  // namespace
