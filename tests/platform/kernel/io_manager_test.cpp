// The I/O manager as callers see it: the default handler, exclusive devices,
// handles, buffered device control, device interfaces, fault injection and
// the power manager's requests.
#include <gtest/gtest.h>

#include "tests/platform/kernel/test_stack.h"

namespace {

using kerneltest::Layer;
using kerneltest::Stack;

class IoManagerTest : public ::testing::Test {
 protected:
  kernel::Platform platform{kernel::ClockMode::Simulated};
};

NTSTATUS EntryWithCreateOnly(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_CREATE] = kerneltest::DispatchThroughLayer;
  return STATUS_SUCCESS;
}

TEST_F(IoManagerTest, RequestsADriverDoesNotHandleFailWithInvalidDeviceRequest) {
  PDRIVER_OBJECT driver = kernel::LoadDriver(u"\\Driver\\CreateOnly", EntryWithCreateOnly);
  PDEVICE_OBJECT device;
  ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
  for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_PNP}) {
    const IO_STATUS_BLOCK result = kernel::SendIrpAndWait(device, major, 0);
    EXPECT_EQ(result.Status, STATUS_INVALID_DEVICE_REQUEST) << static_cast<int>(major);
    EXPECT_EQ(result.Information, 0u);
  }
  IoDeleteDevice(device);
  kernel::UnloadDriver(driver);
}

TEST_F(IoManagerTest, HandlesCarryTheirNameAndAnExclusiveDeviceAdmitsOneAtATime) {
  Stack stack(2, /*exclusiveTop=*/true);
  std::vector<std::string> seen;
  stack.Top().dispatch = [&](Layer& self, PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    const UNICODE_STRING& name = location->FileObject->FileName;
    seen.push_back(std::to_string(location->MajorFunction) + ":" + std::to_string(name.Length / 2));
    return self.Complete(irp, STATUS_SUCCESS);
  };
  PFILE_OBJECT first = nullptr;
  PFILE_OBJECT second = nullptr;
  EXPECT_EQ(kernel::OpenFile(stack.Bottom().device, u"\\pipe01", &first), STATUS_SUCCESS);
  EXPECT_EQ(kernel::OpenFile(stack.Bottom().device, u"", &second), STATUS_ACCESS_DENIED);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(kernel::CloseFile(first), STATUS_SUCCESS);
  EXPECT_EQ(kernel::OpenFile(stack.Bottom().device, u"", &second), STATUS_SUCCESS);
  EXPECT_EQ(kernel::CloseFile(second), STATUS_SUCCESS);
  const std::vector<std::string> expected = {"0:7", "18:7", "2:7", "0:0", "18:0", "2:0"};
  EXPECT_EQ(seen, expected) << "create, cleanup, close, each at the top of the stack";
}

TEST_F(IoManagerTest, BufferedDeviceControlReturnsOnlyTheBytesTheDriverReports) {
  Stack stack(1);
  stack[0].dispatch = [](Layer& self, PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (location->MajorFunction != IRP_MJ_DEVICE_CONTROL) return self.Complete(irp, STATUS_SUCCESS);
    auto buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    EXPECT_EQ(location->Parameters.DeviceIoControl.InputBufferLength, 2u);
    EXPECT_EQ(location->Parameters.DeviceIoControl.OutputBufferLength, 16u);
    buffer[0] = static_cast<UCHAR>(buffer[0] + buffer[1]);
    buffer[1] = 0xEE;
    irp->IoStatus.Information = 1;
    return self.Complete(irp, STATUS_SUCCESS);
  };
  PFILE_OBJECT file;
  ASSERT_EQ(kernel::OpenFile(stack[0].device, u"", &file), STATUS_SUCCESS);
  const std::vector<std::uint8_t> input = {0x40, 0x02};
  const kernel::IoResult result = kernel::DeviceIoControl(file, 0x310014, input, 16);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 1u);
  EXPECT_EQ(result.output, (std::vector<std::uint8_t>{0x42}));
  kernel::CloseFile(file);
  EXPECT_EQ(kernel::pool::LiveBlocks(PoolTag("Sbuf")), 0u);
  EXPECT_EQ(kernel::pool::LiveBlocks(PoolTag("File")), 0u);
}

TEST_F(IoManagerTest, DeviceInterfacesAreListedWithTheirState) {
  Stack stack(1);
  static const GUID kClass = {0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};
  UNICODE_STRING link{};
  ASSERT_EQ(IoRegisterDeviceInterface(stack[0].device, &kClass, nullptr, &link), STATUS_SUCCESS);
  ASSERT_NE(link.Buffer, nullptr);
  auto listed = kernel::ListDeviceInterfaces();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_FALSE(listed[0].enabled);
  EXPECT_EQ(listed[0].symbolicLinkName, std::u16string(link.Buffer, link.Length / 2));
  EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
  EXPECT_TRUE(kernel::ListDeviceInterfaces()[0].enabled);
  kernel::faults::FailNext("IoSetDeviceInterfaceState", STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(kernel::ListDeviceInterfaces()[0].enabled);
  EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
  EXPECT_FALSE(kernel::ListDeviceInterfaces()[0].enabled);
  RtlFreeUnicodeString(&link);
  EXPECT_EQ(link.Buffer, nullptr);
  EXPECT_EQ(kernel::pool::LiveBlocks(PoolTag("Strg")), 0u);
}

TEST_F(IoManagerTest, PlannedFailuresOfPlatformRoutines) {
  PDRIVER_OBJECT driver = kernel::LoadDriver(u"\\Driver\\Test", kerneltest::TestDriverEntry);
  PDEVICE_OBJECT device = nullptr;
  kernel::faults::FailNext("IoCreateDevice", STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(IoCreateDevice(driver, 8, nullptr, FILE_DEVICE_SMARTCARD, 0, TRUE, &device),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(device, nullptr);
  ASSERT_EQ(IoCreateDevice(driver, 8, nullptr, FILE_DEVICE_SMARTCARD, 0, TRUE, &device), STATUS_SUCCESS);
  PDEVICE_OBJECT upper;
  ASSERT_EQ(IoCreateDevice(driver, 8, nullptr, FILE_DEVICE_SMARTCARD, 0, TRUE, &upper), STATUS_SUCCESS);
  kernel::faults::FailNext("IoAttachDeviceToDeviceStack", STATUS_UNSUCCESSFUL);
  EXPECT_EQ(IoAttachDeviceToDeviceStack(upper, device), nullptr);
  EXPECT_EQ(IoAttachDeviceToDeviceStack(upper, device), device);
  EXPECT_EQ(upper->StackSize, 2);
  EXPECT_EQ(IoGetAttachedDevice(device), upper);
  IoDetachDevice(device);
  IoDeleteDevice(upper);
  IoDeleteDevice(device);
  kernel::UnloadDriver(driver);
  EXPECT_EQ(kernel::pool::LiveBlocks(PoolTag("Devo")), 0u);
}

TEST_F(IoManagerTest, PowerRequestGoesDownTheWholeStackAndCallsTheRequesterBack) {
  Stack stack(2);
  std::vector<std::string> seen;
  for (std::size_t i = 0; i < 2; ++i) {
    stack[i].dispatch = [&seen, i](Layer& self, PDEVICE_OBJECT, PIRP irp) {
      PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
      seen.push_back(self.name + (location->MinorFunction == IRP_MN_SET_POWER ? " set" : " ?") +
                     (location->Parameters.Power.State.DeviceState == PowerDeviceD3 ? " D3" : " ?"));
      PoStartNextPowerIrp(irp);
      if (i == 0) return self.Complete(irp, STATUS_SUCCESS);
      IoSkipCurrentIrpStackLocation(irp);
      return PoCallDriver(self.lower, irp);
    };
  }
  struct Result {
    KEVENT done;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = STATUS_PENDING;
  } result;
  KeInitializeEvent(&result.done, NotificationEvent, FALSE);
  POWER_STATE state;
  state.DeviceState = PowerDeviceD3;
  EXPECT_EQ(PoRequestPowerIrp(
                stack.Bottom().device, IRP_MN_SET_POWER, state,
                [](PDEVICE_OBJECT device, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK iosb) {
                  auto r = static_cast<Result*>(context);
                  r->device = device;
                  r->status = iosb->Status;
                  KeSetEvent(&r->done, IO_NO_INCREMENT, FALSE);
                },
                &result, nullptr),
            STATUS_PENDING);
  KeWaitForSingleObject(&result.done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(seen, (std::vector<std::string>{"top set D3", "bottom set D3"}));
  EXPECT_EQ(result.device, stack.Bottom().device);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(kernel::PowerRecord(stack.Top().device).startNextPowerIrpCalls, 1u);
  POWER_STATE d3;
  d3.DeviceState = PowerDeviceD3;
  PoSetPowerState(stack.Top().device, DevicePowerState, d3);
  EXPECT_EQ(kernel::PowerRecord(stack.Top().device).device, PowerDeviceD3);
  EXPECT_EQ(kernel::irps::Live(), 0u);
}

}  // namespace
