#include <gtest/gtest.h>

#include "tests/emulator/reader/reader_harness.h"

namespace emu::test {
namespace {

// Walks a configuration descriptor by bLength; returns the descriptor types
// in order, or nothing when a length runs past the end or is below 2.
std::vector<std::uint8_t> WalkTypes(const Bytes& d) {
  std::vector<std::uint8_t> types;
  std::size_t at = 0;
  while (at < d.size()) {
    if (d[at] < 2 || at + d[at] > d.size()) return {};
    types.push_back(d[at + 1]);
    at += d[at];
  }
  return types;
}

TEST(ReaderDescriptors, DeviceDescriptorIsEighteenBytes) {
  Reader reader(InstantConfig("2.27"));
  const Bytes expected = {
      0x12, 0x01,  // bLength, DEVICE
      0x10, 0x01,  // bcdUSB 1.10
      0x00, 0x00, 0x00,  // class from the interface
      0x08,        // bMaxPacketSize0
      0x54, 0x5A,  // idVendor
      0x10, 0x22,  // idProduct
      0x27, 0x02,  // bcdDevice: firmware 2.27
      0x00, 0x00, 0x00,  // no strings
      0x01,        // one configuration
  };
  EXPECT_EQ(reader.GetDescriptor(1, 0), expected);
}

TEST(ReaderDescriptors, DefaultConfigurationBulkInFirst) {
  Reader reader(InstantConfig());
  const Bytes expected = {
      0x09, 0x02, 0x20, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32,  // configuration, wTotalLength 32
      0x09, 0x04, 0x00, 0x00, 0x02, 0xFF, 0x00, 0x00, 0x00,  // interface: 2 endpoints, vendor class
      0x07, 0x05, 0x81, 0x02, 0x40, 0x00, 0x00,              // bulk IN 0x81, 64 bytes
      0x07, 0x05, 0x02, 0x02, 0x40, 0x00, 0x00,              // bulk OUT 0x02, 64 bytes
  };
  EXPECT_EQ(reader.GetDescriptor(2, 0), expected);
}

TEST(ReaderDescriptors, BulkOutFirstSwapsTheEndpoints) {
  ReaderConfig config = InstantConfig();
  config.endpointOrder = EndpointOrder::BulkOutFirst;
  Reader reader(config);
  const Bytes d = reader.GetDescriptor(2, 0);
  ASSERT_EQ(d.size(), 32u);
  EXPECT_EQ(d[20], 0x02);
  EXPECT_EQ(d[27], 0x81);
}

TEST(ReaderDescriptors, TotalLength600IsPaddedWithVendorDescriptors) {
  ReaderConfig config = InstantConfig();
  config.configurationTotalLength = 600;
  Reader reader(config);
  const Bytes d = reader.GetDescriptor(2, 0);
  ASSERT_EQ(d.size(), 600u);
  EXPECT_EQ(d[2], 0x58);  // 600 = 0x0258
  EXPECT_EQ(d[3], 0x02);
  const std::vector<std::uint8_t> types = WalkTypes(d);
  ASSERT_GE(types.size(), 5u);
  EXPECT_EQ(types[0], 0x02);
  EXPECT_EQ(types[1], 0x04);
  EXPECT_EQ(types[2], 0x05);
  EXPECT_EQ(types[3], 0x05);
  for (std::size_t i = 4; i < types.size(); ++i) EXPECT_EQ(types[i], 0xFF);
}

TEST(ReaderDescriptors, PaddingOfOneByteBecomesTwo) {
  ReaderConfig config = InstantConfig();
  config.configurationTotalLength = 33;  // the natural length is 32
  Reader reader(config);
  const Bytes d = reader.GetDescriptor(2, 0);
  EXPECT_EQ(d.size(), 34u);
  EXPECT_FALSE(WalkTypes(d).empty());
  EXPECT_EQ(d[2], 34);
}

TEST(ReaderDescriptors, PaddingOf256BytesIsSplitIntoValidDescriptors) {
  ReaderConfig config = InstantConfig();
  config.configurationTotalLength = 32 + 256;  // 255 + 1 would leave a 1-byte piece
  Reader reader(config);
  const Bytes d = reader.GetDescriptor(2, 0);
  EXPECT_EQ(d.size(), 288u);
  EXPECT_FALSE(WalkTypes(d).empty());
}

TEST(ReaderDescriptors, EndpointCountShapesTheInterface) {
  struct Case {
    std::uint8_t count;
    std::vector<std::uint8_t> endpoints;
  };
  const Case cases[] = {
      {0, {}},
      {1, {0x81}},
      {2, {0x81, 0x02}},
      {3, {0x81, 0x02, 0x83}},  // plus an interrupt IN endpoint
  };
  for (const Case& c : cases) {
    ReaderConfig config = InstantConfig();
    config.endpointCount = c.count;
    Reader reader(config);
    const Bytes d = reader.GetDescriptor(2, 0);
    ASSERT_EQ(d.size(), 18u + 7u * c.endpoints.size()) << int{c.count};
    EXPECT_EQ(d[13], c.count);
    for (std::size_t i = 0; i < c.endpoints.size(); ++i) EXPECT_EQ(d[18 + 7 * i + 2], c.endpoints[i]);
  }
}

TEST(ReaderDescriptors, OtherDescriptorsAreStalled) {
  Reader reader(InstantConfig());
  EXPECT_TRUE(reader.GetDescriptor(3, 0).empty());  // no string descriptors
  EXPECT_TRUE(reader.GetDescriptor(2, 1).empty());  // one configuration only
  EXPECT_TRUE(reader.GetDescriptor(6, 0).empty());
}

TEST(ReaderDescriptors, OldFirmwareGivesItsBcdDevice) {
  Reader reader(InstantConfig("1.50"));
  const Bytes d = reader.GetDescriptor(1, 0);
  EXPECT_EQ(d[12], 0x50);
  EXPECT_EQ(d[13], 0x01);
}

TEST(ReaderConfiguration, SetConfigurationKeepsOnlyValidValues) {
  Reader reader(InstantConfig());
  EXPECT_EQ(reader.Configuration(), 0);
  reader.SetConfiguration(1);
  EXPECT_EQ(reader.Configuration(), 1);
  reader.SetConfiguration(7);
  EXPECT_EQ(reader.Configuration(), 1);
  reader.SetConfiguration(0);
  EXPECT_EQ(reader.Configuration(), 0);
}

TEST(ReaderConfiguration, StrictReaderRefusesBulkTransfersUntilConfigured) {
  ReaderConfig config = InstantConfig();
  config.strictConfiguration = true;
  Reader reader(config);
  Host host(reader);
  EXPECT_TRUE(host.Write(NewCommand(0x00, {0x01, 0x31}), 0).failed);
  reader.SetConfiguration(1);
  EXPECT_FALSE(host.Write(NewCommand(0x00, {0x01, 0x31}), 0).failed);
  EXPECT_EQ(host.Gather(Generation::New, 0).size(), 9u);
}

TEST(ReaderVersion, VersionTextToNumberAndGeneration) {
  struct Case {
    const char* text;
    std::uint16_t number;
    Generation generation;
  };
  const Case cases[] = {
      {"2.27", 0x227, Generation::New}, {"2.10", 0x210, Generation::New}, {"3.00", 0x300, Generation::New},
      {"3.01", 0x301, Generation::New}, {"2.01", 0x201, Generation::New}, {"2.00", 0x200, Generation::Old},
      {"1.50", 0x150, Generation::Old}, {"1.01", 0x101, Generation::Old}, {"2.1a", 0x21A, Generation::New},
      {"", 0x000, Generation::Old},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FirmwareVersionNumber(c.text), c.number) << c.text;
    EXPECT_EQ(NativeGeneration(c.text), c.generation) << c.text;
  }
}

}  // namespace
}  // namespace emu::test
