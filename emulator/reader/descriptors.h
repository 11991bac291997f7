// The reader's standard USB descriptors (USB 2.0 clause 9.6), built from its
// configuration.
#pragma once

#include <cstdint>
#include <vector>

#include "emulator/reader/reader_config.h"

namespace emu {

constexpr std::uint8_t kBulkInEndpoint = 0x81;
constexpr std::uint8_t kBulkOutEndpoint = 0x02;
constexpr std::uint8_t kInterruptInEndpoint = 0x83;
constexpr std::uint8_t kConfigurationValue = 1;

// The 18-byte device descriptor (USB 2.0 table 9-8).
std::vector<std::uint8_t> BuildDeviceDescriptor(const ReaderConfig& config);

// The configuration descriptor with its interface, endpoint and padding
// descriptors, wTotalLength bytes (USB 2.0 tables 9-10, 9-12, 9-13).
std::vector<std::uint8_t> BuildConfigurationDescriptor(const ReaderConfig& config);

// The endpoint addresses of the interface, in descriptor order.
std::vector<std::uint8_t> InterfaceEndpoints(const ReaderConfig& config);

}  // namespace emu
