// The power manager driving a stack whose top driver owns its power policy:
// the system request arrives at the top, the driver asks for the device state
// through PoRequestPowerIrp, and both travel down the same stack.
#include <gtest/gtest.h>

#include "platform/kernel/power_manager.h"
#include "tests/platform/kernel/test_stack.h"

namespace {

using kerneltest::Layer;
using kerneltest::Stack;

std::string Describe(const Layer& layer, PIRP irp) {
  const IO_STACK_LOCATION& l = *IoGetCurrentIrpStackLocation(irp);
  std::string text = layer.name + (l.MinorFunction == IRP_MN_QUERY_POWER ? " query " : " set ");
  if (l.Parameters.Power.Type == SystemPowerState) {
    text += "S" + std::to_string(static_cast<int>(l.Parameters.Power.State.SystemState) - 1);
  } else {
    text += "D" + std::to_string(static_cast<int>(l.Parameters.Power.State.DeviceState) - 1);
  }
  return text;
}

TEST(PowerManagerTest, SleepAndResumeReachThePolicyOwnerWhichRequestsTheDeviceState) {
  kernel::Platform platform(kernel::ClockMode::Simulated);
  Stack stack(2);
  stack.Bottom().dispatch = [](Layer& self, PDEVICE_OBJECT, PIRP irp) {
    self.log->push_back(Describe(self, irp));
    PoStartNextPowerIrp(irp);
    return self.Complete(irp, STATUS_SUCCESS);
  };
  stack.Top().dispatch = [&stack](Layer& self, PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION l = IoGetCurrentIrpStackLocation(irp);
    self.log->push_back(Describe(self, irp));
    if (l->MinorFunction == IRP_MN_SET_POWER && l->Parameters.Power.Type == SystemPowerState) {
      POWER_STATE device;
      device.DeviceState =
          l->Parameters.Power.State.SystemState == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
      KEVENT done;
      KeInitializeEvent(&done, NotificationEvent, FALSE);
      PoRequestPowerIrp(
          stack.Bottom().device, IRP_MN_SET_POWER, device,
          [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK) {
            KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
          },
          &done, nullptr);
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(self.lower, irp);
  };

  EXPECT_EQ(kernel::SleepSystem(stack.Bottom().device, PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(kernel::ResumeSystem(stack.Bottom().device), STATUS_SUCCESS);
  const std::vector<std::string> expected = {
      "top query S3", "bottom query S3",                                 // may the system sleep
      "top set S3",   "top set D3",      "bottom set D3", "bottom set S3",  // the device first, then the system
      "top set S0",   "top set D0",      "bottom set D0", "bottom set S0",
  };
  EXPECT_EQ(stack.log, expected);
  EXPECT_EQ(kernel::irps::Live(), 0u);
}

TEST(PowerManagerTest, RefusedQueryStopsTheSleep) {
  kernel::Platform platform(kernel::ClockMode::Simulated);
  Stack stack(1);
  stack.Bottom().dispatch = [](Layer& self, PDEVICE_OBJECT, PIRP irp) {
    self.log->push_back(Describe(self, irp));
    PoStartNextPowerIrp(irp);
    const bool query = IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_QUERY_POWER;
    return self.Complete(irp, query ? STATUS_DEVICE_BUSY : STATUS_SUCCESS);
  };
  EXPECT_EQ(kernel::SleepSystem(stack.Bottom().device, PowerSystemHibernate), STATUS_DEVICE_BUSY);
  EXPECT_EQ(stack.log, (std::vector<std::string>{"bottom query S4"}));
}

}  // namespace
