#include "emulator/reader/descriptors.h"

#include <algorithm>

namespace emu {
namespace {

constexpr std::uint8_t kDeviceDescriptorType = 0x01;
constexpr std::uint8_t kConfigurationDescriptorType = 0x02;
constexpr std::uint8_t kInterfaceDescriptorType = 0x04;
constexpr std::uint8_t kEndpointDescriptorType = 0x05;
// Descriptor types from 0x40 up are neither standard nor class-defined; a
// host skips them by bLength (USB 2.0 clause 9.5).
constexpr std::uint8_t kVendorDescriptorType = 0xFF;

constexpr std::uint8_t kBulk = 0x02;
constexpr std::uint8_t kInterrupt = 0x03;

// The interface is vendor-specific rather than the smart-card device class
// (0x0B): the reader speaks its own frame protocol, not CCID, and a class code
// of 0x0B would invite a generic CCID driver and oblige a CCID class
// descriptor that this reader cannot honour.
constexpr std::uint8_t kVendorSpecificClass = 0xFF;

void PutWord(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void PutEndpoint(std::vector<std::uint8_t>& out, std::uint8_t address, const ReaderConfig& config) {
  const bool interrupt = address == kInterruptInEndpoint;
  out.push_back(7);
  out.push_back(kEndpointDescriptorType);
  out.push_back(address);
  out.push_back(interrupt ? kInterrupt : kBulk);
  PutWord(out, interrupt ? std::uint16_t{8} : config.bulkMaxPacketSize);
  out.push_back(interrupt ? 16 : 0);  // bInterval: ignored for full-speed bulk endpoints
}

}  // namespace

std::vector<std::uint8_t> BuildDeviceDescriptor(const ReaderConfig& config) {
  std::vector<std::uint8_t> d;
  d.push_back(18);
  d.push_back(kDeviceDescriptorType);
  PutWord(d, 0x0110);  // a full-speed device
  d.push_back(0x00);   // the class is given by the interface
  d.push_back(0x00);
  d.push_back(0x00);
  d.push_back(8);  // bMaxPacketSize0
  PutWord(d, config.vendorId);
  PutWord(d, config.productId);
  PutWord(d, FirmwareVersionNumber(config.firmwareVersion));  // bcdDevice
  d.push_back(0);  // no string descriptors
  d.push_back(0);
  d.push_back(0);
  d.push_back(1);  // bNumConfigurations
  return d;
}

std::vector<std::uint8_t> InterfaceEndpoints(const ReaderConfig& config) {
  std::vector<std::uint8_t> order;
  if (config.endpointOrder == EndpointOrder::BulkInFirst) {
    order = {kBulkInEndpoint, kBulkOutEndpoint, kInterruptInEndpoint};
  } else {
    order = {kBulkOutEndpoint, kBulkInEndpoint, kInterruptInEndpoint};
  }
  order.resize(std::min<std::size_t>(config.endpointCount, order.size()));
  return order;
}

std::vector<std::uint8_t> BuildConfigurationDescriptor(const ReaderConfig& config) {
  const std::vector<std::uint8_t> endpoints = InterfaceEndpoints(config);
  std::vector<std::uint8_t> d;
  d.push_back(9);
  d.push_back(kConfigurationDescriptorType);
  PutWord(d, 0);  // wTotalLength, filled in below
  d.push_back(1);  // bNumInterfaces
  d.push_back(kConfigurationValue);
  d.push_back(0);     // iConfiguration
  d.push_back(0x80);  // bus-powered
  d.push_back(50);    // 100 mA

  d.push_back(9);
  d.push_back(kInterfaceDescriptorType);
  d.push_back(0);  // bInterfaceNumber
  d.push_back(0);  // bAlternateSetting
  d.push_back(static_cast<std::uint8_t>(endpoints.size()));
  d.push_back(kVendorSpecificClass);
  d.push_back(0x00);
  d.push_back(0x00);
  d.push_back(0);  // iInterface
  for (std::uint8_t address : endpoints) PutEndpoint(d, address, config);

  // Padding comes in descriptors of 2 to 255 bytes, so a total one byte
  // longer than the natural length cannot be met exactly and gets one more.
  std::size_t padding = config.configurationTotalLength > d.size() ? config.configurationTotalLength - d.size() : 0;
  if (padding == 1) padding = 2;
  while (padding > 0) {
    std::size_t piece = std::min<std::size_t>(padding, 255);
    if (padding - piece == 1) --piece;
    d.push_back(static_cast<std::uint8_t>(piece));
    d.push_back(kVendorDescriptorType);
    for (std::size_t i = 2; i < piece; ++i) d.push_back(static_cast<std::uint8_t>(i));
    padding -= piece;
  }

  const auto total = static_cast<std::uint16_t>(d.size());
  d[2] = static_cast<std::uint8_t>(total & 0xFF);
  d[3] = static_cast<std::uint8_t>(total >> 8);
  return d;
}

}  // namespace emu
