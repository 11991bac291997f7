// What the emulator's tests share: bytes written as annotated hex, and a card
// that has been reset.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>

#include "emulator/card/card.h"

namespace emu::test {

// "52 00 04 80200000 F6" -> bytes. Spaces are for the reader's eye; "00..1F"
// stands for the run of bytes from 00 to 1F.
inline Bytes Hex(std::string_view text) {
  Bytes out;
  const auto byte = [](const std::string& digits) { return static_cast<std::uint8_t>(std::stoi(digits, nullptr, 16)); };
  std::istringstream in{std::string(text)};
  for (std::string token; in >> token;) {
    if (token.size() == 6 && token.substr(2, 2) == "..") {
      for (int b = byte(token.substr(0, 2)); b <= byte(token.substr(4)); ++b)
        out.push_back(static_cast<std::uint8_t>(b));
      continue;
    }
    for (std::size_t i = 0; i + 1 < token.size(); i += 2) out.push_back(byte(token.substr(i, 2)));
  }
  return out;
}

inline Card PoweredCard(CardConfig config = {}) {
  Card card(std::move(config));
  card.Reset(false);
  return card;
}

}  // namespace emu::test
