// The USBD library calls on well-formed and hostile configuration descriptors.
#include <gtest/gtest.h>

#include <vector>

#include "platform/kernel/platform.h"
#include "platform/usb/usb.h"

namespace {

class UsbdTest : public ::testing::Test {
 protected:
  kernel::Platform platform{kernel::ClockMode::Simulated};
};

// Configuration 1: a vendor interface with bulk IN 0x81 and bulk OUT 0x02,
// then a second interface with one interrupt endpoint.
std::vector<UCHAR> TwoInterfaces() {
  return {
      0x09, 0x02, 0x2E, 0x00, 0x02, 0x01, 0x00, 0x80, 0x32,  // configuration, wTotalLength 46
      0x09, 0x04, 0x00, 0x00, 0x02, 0xFF, 0x00, 0x00, 0x00,  // interface 0, 2 endpoints, class FF
      0x07, 0x05, 0x81, 0x02, 0x40, 0x00, 0x00,              // endpoint 0x81 bulk, 64 bytes
      0x07, 0x05, 0x02, 0x02, 0x40, 0x00, 0x00,              // endpoint 0x02 bulk
      0x09, 0x04, 0x01, 0x00, 0x01, 0x03, 0x00, 0x00, 0x00,  // interface 1, class 03
      0x07, 0x05, 0x83, 0x03, 0x08, 0x00, 0x0A,              // endpoint 0x83 interrupt
  };
}

PUSB_CONFIGURATION_DESCRIPTOR AsConfig(std::vector<UCHAR>& bytes) {
  return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
}

TEST_F(UsbdTest, ParseFindsInterfacesByAnyCriterion) {
  std::vector<UCHAR> bytes = TwoInterfaces();
  PUSB_CONFIGURATION_DESCRIPTOR config = AsConfig(bytes);
  PUSB_INTERFACE_DESCRIPTOR first = USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(reinterpret_cast<UCHAR*>(first), bytes.data() + 9);
  PUSB_INTERFACE_DESCRIPTOR hid = USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, 0x03, -1, -1);
  ASSERT_NE(hid, nullptr);
  EXPECT_EQ(hid->bInterfaceNumber, 1);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 2, -1, -1, -1, -1), nullptr);
  // Searching on from just after the first interface finds the second.
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, bytes.data() + 18, -1, -1, -1, -1, -1), hid);
}

TEST_F(UsbdTest, ConfigurationRequestCoversTheFirstInterfaceOnly) {
  std::vector<UCHAR> bytes = TwoInterfaces();
  USHORT size = 0;
  PURB urb = USBD_CreateConfigurationRequest(AsConfig(bytes), &size);
  ASSERT_NE(urb, nullptr);
  const ULONG expected = static_cast<ULONG>(offsetof(_URB_SELECT_CONFIGURATION, Interface)) +
                         GET_USBD_INTERFACE_SIZE(2);
  EXPECT_EQ(size, expected);
  EXPECT_EQ(size, sizeof(_URB_SELECT_CONFIGURATION) + sizeof(USBD_PIPE_INFORMATION));
  EXPECT_EQ(urb->UrbHeader.Length, size);
  EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, AsConfig(bytes));
  const USBD_INTERFACE_INFORMATION& info = urb->UrbSelectConfiguration.Interface;
  EXPECT_EQ(info.NumberOfPipes, 2u);
  EXPECT_EQ(info.Length, GET_USBD_INTERFACE_SIZE(2));
  EXPECT_EQ(info.Pipes[0].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
  EXPECT_EQ(kernel::pool::LiveBlocks(PoolTag("USBD")), 1u);
  ExFreePool(urb);
}

TEST_F(UsbdTest, HostileDescriptorsYieldNothingAndAreNeverReadPastTheirLength) {
  struct Case {
    const char* what;
    std::vector<UCHAR> bytes;
  } cases[] = {
      {"no interface at all", {0x09, 0x02, 0x09, 0x00, 0x00, 0x01, 0x00, 0x80, 0x32}},
      {"interface beyond wTotalLength",
       {0x09, 0x02, 0x0C, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32, 0x09, 0x04, 0x00, 0x00, 0x02, 0xFF, 0, 0, 0}},
      {"descriptor of length 0 loops nowhere",
       {0x09, 0x02, 0x14, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32, 0x00, 0x24, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"interface shorter than 9 bytes",
       {0x09, 0x02, 0x10, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32, 0x07, 0x04, 0x00, 0x00, 0x02, 0xFF, 0}},
      {"wTotalLength below the configuration header", {0x09, 0x02, 0x04, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32}},
  };
  for (auto& c : cases) {
    // An exact-size heap copy, so that a read past the end is caught by the sanitizers.
    auto copy = std::make_unique<UCHAR[]>(c.bytes.size());
    std::copy(c.bytes.begin(), c.bytes.end(), copy.get());
    auto config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(copy.get());
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1), nullptr) << c.what;
    USHORT size = 1;
    EXPECT_EQ(USBD_CreateConfigurationRequest(config, &size), nullptr) << c.what;
    EXPECT_EQ(size, 0) << c.what;
  }
}

TEST_F(UsbdTest, VersionIsReported) {
  USBD_VERSION_INFORMATION version{};
  USBD_GetUSBDIVersion(&version);
  EXPECT_EQ(version.Supported_USB_Version, 0x200u);
  USBD_GetUSBDIVersion(nullptr);
}

}  // namespace
