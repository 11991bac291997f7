// Which transmission protocols an answer-to-reset offers.
#pragma once

#include <cstdint>
#include <span>

namespace emu {

// ISO/IEC 7816-3 clause 8.2.3: an ATR without TD1 offers T=0 only; otherwise
// each TDi names a protocol in its low nibble. A truncated ATR is read as far
// as it goes.
bool AtrOffersT0(std::span<const std::uint8_t> atr);

}  // namespace emu
