// Small helpers shared by the card tests: framing with a check byte, and a
// card that has been reset.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "emulator/card/card.h"

namespace emu::test {

// Appends the exclusive-or of the bytes (a T=1 LRC) computed here, not by the card.
inline Bytes WithLrc(Bytes block) {
  std::uint8_t lrc = 0;
  for (const std::uint8_t byte : block) {
    lrc ^= byte;
  }
  block.push_back(lrc);
  return block;
}

// A host block with NAD 0x52, as the reader sends them.
inline Bytes HostBlock(std::uint8_t pcb, const Bytes& inf) {
  Bytes block{0x52, pcb, static_cast<std::uint8_t>(inf.size())};
  block.insert(block.end(), inf.begin(), inf.end());
  return WithLrc(block);
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) {
    out.insert(out.end(), part.begin(), part.end());
  }
  return out;
}

// Bytes first, first + 1, ... modulo 256.
inline Bytes Ramp(std::size_t count, std::uint8_t first = 0) {
  Bytes out(count);
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = static_cast<std::uint8_t>(first + i);
  }
  return out;
}

inline Card PoweredCard(CardConfig config = {}) {
  Card card(std::move(config));
  card.Reset(false);
  return card;
}

}  // namespace emu::test
