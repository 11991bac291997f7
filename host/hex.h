// Bytes as the host's text shows and reads them: upper-case hexadecimal
// without separators for result lines and scripts, spaced pairs for traces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace host {

using Bytes = std::vector<std::uint8_t>;

// "3B8001" -> {0x3B, 0x80, 0x01}. Either case; no separators, no prefix.
// Refuses an odd number of digits, any other character and more than
// maxBytes bytes, with a one-line reason in *error.
std::optional<Bytes> ParseHex(std::string_view text, std::size_t maxBytes, std::string* error);

// Upper-case pairs without separators: "3B8001".
std::string ToHex(std::span<const std::uint8_t> bytes);
// Upper-case pairs separated by single spaces: "3B 80 01".
std::string ToSpacedHex(std::span<const std::uint8_t> bytes);

}  // namespace host
