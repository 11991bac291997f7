#include "emulator/reader/atr_protocols.h"

#include <bit>

namespace emu {

bool AtrOffersT0(std::span<const std::uint8_t> atr) {
  if (atr.size() < 2) return true;
  std::uint8_t y = atr[1];
  std::size_t p = 2;
  bool first = true;
  while (true) {
    // TAi, TBi and TCi, announced by bits 0x10, 0x20 and 0x40 of Y, come
    // before TDi.
    p += static_cast<std::size_t>(std::popcount(static_cast<unsigned>(y & 0x70)));
    if ((y & 0x80) == 0) return first;  // no TD1: T=0 is implied
    if (p >= atr.size()) return first;
    y = atr[p++];
    first = false;
    if ((y & 0x0F) == 0) return true;
  }
}

}  // namespace emu
