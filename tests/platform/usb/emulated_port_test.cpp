// The emulated port's requests other than bulk transfers: descriptors,
// configuration, pipe abort, port status and reset, capabilities, power.
#include <gtest/gtest.h>

#include "platform/kernel/io_user.h"
#include "tests/platform/usb/usb_client.h"

namespace {

using usbtest::Client;

class BusRequestsTest : public ::testing::Test {
 protected:
  kernel::Platform platform{kernel::ClockMode::Simulated};
};

TEST_F(BusRequestsTest, DescriptorReadsHonourTheLengthAskedFor) {
  emu::ReaderConfig config;
  config.configurationTotalLength = 600;
  Client client(config);
  std::vector<UCHAR> device(18);
  EXPECT_EQ(client.ReadDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, device), STATUS_SUCCESS);
  ASSERT_EQ(device.size(), 18u);
  EXPECT_EQ(device[0], 18);
  EXPECT_EQ(device[1], USB_DEVICE_DESCRIPTOR_TYPE);

  std::vector<UCHAR> first(521);
  EXPECT_EQ(client.ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, first), STATUS_SUCCESS);
  EXPECT_EQ(first.size(), 521u) << "a 600-byte configuration is cut to the 521 bytes asked for";
  EXPECT_EQ(first[2] | (first[3] << 8), 600);
  std::vector<UCHAR> whole(600);
  EXPECT_EQ(client.ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, whole), STATUS_SUCCESS);
  EXPECT_EQ(whole.size(), 600u);

  std::vector<UCHAR> none(8);
  EXPECT_EQ(client.ReadDescriptor(0x22, none), STATUS_UNSUCCESSFUL) << "a descriptor the device lacks stalls";
  EXPECT_TRUE(none.empty());
}

TEST_F(BusRequestsTest, SelectConfigurationFillsHandlesInEndpointOrder) {
  for (auto order : {emu::EndpointOrder::BulkInFirst, emu::EndpointOrder::BulkOutFirst}) {
    emu::ReaderConfig config;
    config.endpointOrder = order;
    Client client(config);
    ASSERT_EQ(client.Configure(), STATUS_SUCCESS);
    ASSERT_EQ(client.pipes.size(), 2u);
    const bool inFirst = order == emu::EndpointOrder::BulkInFirst;
    EXPECT_EQ(client.pipes[0].EndpointAddress & 0x80, inFirst ? 0x80 : 0x00);
    EXPECT_EQ(client.pipes[1].EndpointAddress & 0x80, inFirst ? 0x00 : 0x80);
    for (const auto& pipe : client.pipes) {
      EXPECT_NE(pipe.PipeHandle, nullptr);
      EXPECT_EQ(pipe.PipeType, UsbdPipeTypeBulk);
      EXPECT_EQ(pipe.MaximumPacketSize, 64);
    }
    EXPECT_NE(client.pipes[0].PipeHandle, client.pipes[1].PipeHandle);
    EXPECT_NE(client.reader->Configuration(), 0);
  }
}

TEST_F(BusRequestsTest, UnconfigureInvalidatesThePipes) {
  Client client;
  ASSERT_EQ(client.Configure(), STATUS_SUCCESS);
  URB urb{};
  urb.UrbSelectConfiguration.Hdr.Length = sizeof(_URB_SELECT_CONFIGURATION);
  urb.UrbSelectConfiguration.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  EXPECT_EQ(usbtest::SubmitUrb(client.port.PhysicalDeviceObject(), urb), STATUS_SUCCESS);
  EXPECT_EQ(client.reader->Configuration(), 0);
  EXPECT_EQ(client.Write({0x12, 0x00, 0x02, 0x01, 0x31, 0x20}), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(client.lastUsbdStatus, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(BusRequestsTest, SelectingAnInterfaceRecordThatDoesNotMatchTheDescriptorIsRefused) {
  Client client;
  ASSERT_EQ(client.Configure(), STATUS_SUCCESS);
  USHORT size = 0;
  PURB urb = USBD_CreateConfigurationRequest(
      reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(client.configuration.data()), &size);
  urb->UrbSelectConfiguration.Interface.NumberOfPipes = 5;  // the record has room for 2
  EXPECT_EQ(usbtest::SubmitUrb(client.port.PhysicalDeviceObject(), *urb), STATUS_INVALID_PARAMETER);
  ExFreePool(urb);
}

TEST_F(BusRequestsTest, PortStatusAndResetFollowTheDevice) {
  Client client;
  ULONG word = 0xFFFFFFFF;
  EXPECT_EQ(usbtest::SendInternal(client.port.PhysicalDeviceObject(), IOCTL_INTERNAL_USB_GET_PORT_STATUS, &word),
            STATUS_SUCCESS);
  EXPECT_EQ(word, USBD_PORT_CONNECTED | USBD_PORT_ENABLED);
  client.reader->DisablePort();
  usbtest::SendInternal(client.port.PhysicalDeviceObject(), IOCTL_INTERNAL_USB_GET_PORT_STATUS, &word);
  EXPECT_EQ(word, USBD_PORT_CONNECTED);
  EXPECT_EQ(usbtest::SendInternal(client.port.PhysicalDeviceObject(), IOCTL_INTERNAL_USB_RESET_PORT, nullptr),
            STATUS_SUCCESS);
  usbtest::SendInternal(client.port.PhysicalDeviceObject(), IOCTL_INTERNAL_USB_GET_PORT_STATUS, &word);
  EXPECT_EQ(word, USBD_PORT_CONNECTED | USBD_PORT_ENABLED);
  EXPECT_EQ(client.reader->Counters().portResets, 1u);

  client.port.Unplug();
  usbtest::SendInternal(client.port.PhysicalDeviceObject(), IOCTL_INTERNAL_USB_GET_PORT_STATUS, &word);
  EXPECT_EQ(word, 0u);
  EXPECT_EQ(usbtest::SendInternal(client.port.PhysicalDeviceObject(), IOCTL_INTERNAL_USB_RESET_PORT, nullptr),
            STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(BusRequestsTest, CapabilityQueryFillsTheCallersRecord) {
  Client client;
  DEVICE_CAPABILITIES capabilities{};
  const IO_STATUS_BLOCK result =
      kernel::SendIrpAndWait(client.port.PhysicalDeviceObject(), IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES,
                             [&](IO_STACK_LOCATION& l) { l.Parameters.DeviceCapabilities.Capabilities = &capabilities; });
  EXPECT_EQ(result.Status, STATUS_SUCCESS);
  EXPECT_EQ(capabilities.Size, 0) << "the size and version stay as the caller left them";
  EXPECT_EQ(capabilities.DeviceState[PowerSystemWorking], PowerDeviceD0);
  EXPECT_EQ(capabilities.DeviceState[PowerSystemSleeping3], PowerDeviceD2);
  EXPECT_EQ(capabilities.DeviceWake, PowerDeviceD2);

  const IO_STATUS_BLOCK other =
      kernel::SendIrpAndWait(client.port.PhysicalDeviceObject(), IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE);
  EXPECT_EQ(other.Status, STATUS_NOT_SUPPORTED) << "a request the bus does not handle keeps its status";
}

TEST_F(BusRequestsTest, WaitWakeWaitsUntilTheDeviceWakesOrGoesAway) {
  Client client;
  for (bool removed : {false, true}) {
    struct Done {
      KEVENT event;
      NTSTATUS status = STATUS_PENDING;
    } done;
    KeInitializeEvent(&done.event, NotificationEvent, FALSE);
    POWER_STATE s3;
    s3.SystemState = PowerSystemSleeping3;
    PoRequestPowerIrp(
        client.port.PhysicalDeviceObject(), IRP_MN_WAIT_WAKE, s3,
        [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK iosb) {
          auto d = static_cast<Done*>(context);
          d->status = iosb->Status;
          KeSetEvent(&d->event, 0, FALSE);
        },
        &done, nullptr);
    EXPECT_TRUE(client.port.WaitWakePending());
    if (removed) {
      kernel::SendIrpAndWait(client.port.PhysicalDeviceObject(), IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
    } else {
      EXPECT_TRUE(client.port.SignalWake());
    }
    KeWaitForSingleObject(&done.event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(done.status, removed ? STATUS_NO_SUCH_DEVICE : STATUS_SUCCESS);
    EXPECT_FALSE(client.port.WaitWakePending());
  }
}

TEST_F(BusRequestsTest, DevicePowerRequestsCanBeMadeToFail) {
  Client client;
  client.port.FailNextDevicePower(PowerDeviceD0, STATUS_DEVICE_POWER_FAILURE);
  auto setPower = [&](DEVICE_POWER_STATE state) {
    return kernel::SendIrpAndWait(client.port.PhysicalDeviceObject(), IRP_MJ_POWER, IRP_MN_SET_POWER,
                                  [state](IO_STACK_LOCATION& l) {
                                    l.Parameters.Power.Type = DevicePowerState;
                                    l.Parameters.Power.State.DeviceState = state;
                                  })
        .Status;
  };
  EXPECT_EQ(setPower(PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(client.port.DevicePower(), PowerDeviceD3);
  EXPECT_EQ(setPower(PowerDeviceD0), STATUS_DEVICE_POWER_FAILURE);
  EXPECT_EQ(client.port.DevicePower(), PowerDeviceD3);
  EXPECT_EQ(setPower(PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(client.port.DevicePower(), PowerDeviceD0);
}

}  // namespace
