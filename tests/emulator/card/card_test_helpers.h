// What the emulator's tests share: bytes written as annotated hex, and a card
// that has been reset.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "emulator/card/card.h"

namespace emu::test {

// "52 00 04 80200000 F6" -> bytes. Spaces are for the reader's eye; "00..1F"
// stands for the run of bytes from 00 to 1F.
inline Bytes Hex(std::string_view text) {
  Bytes out;
  int high = -1;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '.' && text.substr(i, 2) == ".." && i + 3 < text.size() && !out.empty() && high < 0) {
      const int last = std::stoi(std::string(text.substr(i + 2, 2)), nullptr, 16);
      for (int b = out.back() + 1; b <= last; ++b) out.push_back(static_cast<std::uint8_t>(b));
      i += 3;
      continue;
    }
    if (c == ' ') continue;
    const int nibble = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
    if (high < 0) {
      high = nibble;
    } else {
      out.push_back(static_cast<std::uint8_t>(high << 4 | nibble));
      high = -1;
    }
  }
  return out;
}

inline Card PoweredCard(CardConfig config = {}) {
  Card card(std::move(config));
  card.Reset(false);
  return card;
}

}  // namespace emu::test
