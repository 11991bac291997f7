// DEVICENAME: every option, the default reader, and clear refusals.
#include <gtest/gtest.h>

#include "ifd/device_name.h"

namespace {

using ifd::CardChoice;
using ifd::ParseDeviceName;

TEST(DeviceName, NoNameAndBareEmulatedAreTheDefaultReader) {
  std::string error;
  for (const char* name : {static_cast<const char*>(nullptr), "", "emulated"}) {
    const auto options = ParseDeviceName(name, &error);
    ASSERT_TRUE(options.has_value()) << (name ? name : "(null)");
    EXPECT_EQ("2.27", options->firmware);
    EXPECT_EQ(CardChoice::T1, options->card);
    EXPECT_EQ(35963, options->viccPort);
    EXPECT_FALSE(options->realTiming);
    EXPECT_FALSE(options->trace);
    EXPECT_FALSE(options->verbose);
    EXPECT_EQ(ifd::LogTarget::Stderr, options->log);
    EXPECT_TRUE(options->controlPath.empty());
  }
}

TEST(DeviceName, EveryOptionIsRead) {
  std::string error;
  const auto options = ParseDeviceName(
      "emulated:firmware=1.50:card=t0:vicc-port=40000:timing=real:trace=1:verbose=1:log=syslog:control=/tmp/a_b-c.d@e", &error);
  ASSERT_TRUE(options.has_value()) << error;
  EXPECT_EQ("1.50", options->firmware);
  EXPECT_EQ(CardChoice::T0, options->card);
  EXPECT_EQ(40000, options->viccPort);
  EXPECT_TRUE(options->realTiming);
  EXPECT_TRUE(options->trace);
  EXPECT_TRUE(options->verbose);
  EXPECT_EQ(ifd::LogTarget::Syslog, options->log);
  EXPECT_EQ("/tmp/a_b-c.d@e", options->controlPath);
  EXPECT_EQ(CardChoice::None, ParseDeviceName("emulated:card=none", &error)->card);
  EXPECT_EQ(CardChoice::Vicc, ParseDeviceName("emulated:card=vicc", &error)->card);
  EXPECT_EQ("2.1a", ParseDeviceName("emulated:firmware=2.1a", &error)->firmware);
}

TEST(DeviceName, UsbNamesAsPcscdsHotPlugGivesThemPickAPhysicalReader) {
  const struct {
    const char* name;
    std::optional<std::uint8_t> bus;
    std::optional<std::uint8_t> address;
  } cases[] = {
      {"usb:5A54/2210:libudev:0:/dev/bus/usb/003/017", 3, 17},
      {"usb:5a54/2210:libusb-1.0:3:17:0", 3, 17},
      {"usb:5A54/2210", std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    std::string error;
    const auto options = ParseDeviceName(c.name, &error);
    ASSERT_TRUE(options.has_value() && options->device.has_value()) << c.name << ": " << error;
    EXPECT_EQ(0x5A54, options->device->vendorId) << c.name;
    EXPECT_EQ(0x2210, options->device->productId) << c.name;
    EXPECT_EQ(c.bus, options->device->bus) << c.name;
    EXPECT_EQ(c.address, options->device->address) << c.name;
  }
}

TEST(DeviceName, WrongNamesAreRefusedWithTheReason) {
  const struct {
    const char* name;
    const char* said;
  } cases[] = {
      {"/dev/ttyS0", "does not start with \"emulated\""},
      {"emulated:colour=blue", "\"colour\" is unknown"},
      {"emulated:card", "is not key=value"},
      {"emulated:card=t2", "card=t2: expected t1, t0, none or vicc"},
      {"emulated:firmware=2.270", "expected M.mm"},
      {"emulated:firmware=x.27", "expected M.mm"},
      {"emulated:vicc-port=0", "expected a TCP port"},
      {"emulated:vicc-port=65536", "expected a TCP port"},
      {"emulated:vicc-port=12a", "expected a TCP port"},
      {"emulated:trace=yes", "expected 0 or 1"},
      {"emulated:timing=slow", "expected fast or real"},
      {"emulated:log=file", "expected stderr or syslog"},
      {"emulated:control=relative/fifo", "expected an absolute path"},
      {"emulated::card=t1", "is not key=value"},
      {"emulated:card=t1:firmware=2.27:card=t0", "option card= is given twice"},
      {"usb:5a54-2210", "is not a USB device name"},
      {"usb:5A54/2210:libudev:0:/dev/bus/usb/001", "is not a USB device name"},
      {"usb:5A54/2210:libusb-1.0:0:2:0", "is not a USB device name"},
      {"usb:5A54/2210:libusb-1.0:1:2:1", "has interface 0 only"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(ParseDeviceName(c.name, &error).has_value()) << c.name;
    EXPECT_NE(std::string::npos, error.find(c.said)) << c.name << ": " << error;
  }
}

}  // namespace
