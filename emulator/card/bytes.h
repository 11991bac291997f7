// The byte strings that cross the card's contacts.
#pragma once

#include <cstdint>
#include <vector>

namespace emu {

using Bytes = std::vector<std::uint8_t>;

}  // namespace emu
