// The card's answer-to-reset, laid out as ISO/IEC 7816-3 clause 8.2 says.
#include <algorithm>

#include "emulator/card/card.h"

namespace emu {

Bytes BuildAtr(const AtrRecipe& wanted) {
  const bool group3 = wanted.ta3.has_value() || wanted.tb3.has_value();

  // The TD bytes name the offered protocols in ascending order. TA3 and TB3
  // can only be reached through TD2, so a card that offers one protocol but
  // has third-group bytes names that protocol twice. A card that offers only
  // T=0 and has no third group needs no TD byte at all (ISO/IEC 7816-3 8.2.3).
  // Offering nothing is read as a plain T=0 card.
  Bytes protocols;
  if (wanted.t0 || !wanted.t1) {
    protocols.push_back(0);
  }
  if (wanted.t1) {
    protocols.push_back(1);
  }
  if (group3 && protocols.size() == 1) {
    protocols.push_back(protocols.front());
  }
  if (!wanted.t1 && !group3) {
    protocols.clear();
  }

  // T0 carries only four bits for K, so at most 15 historical bytes.
  const std::size_t k = std::min<std::size_t>(wanted.historical.size(), 15);
  std::uint8_t t0 = static_cast<std::uint8_t>(k);
  if (wanted.ta1) {
    t0 |= 0x10;
  }
  if (!protocols.empty()) {
    t0 |= 0x80;
  }

  Bytes atr{0x3B, t0};
  if (wanted.ta1) {
    atr.push_back(*wanted.ta1);
  }
  bool otherThanT0 = false;
  if (!protocols.empty()) {
    const bool td2 = protocols.size() > 1;
    atr.push_back(static_cast<std::uint8_t>(protocols[0] | (td2 ? 0x80 : 0x00)));
    otherThanT0 = protocols[0] != 0;
    if (td2) {
      std::uint8_t td = protocols[1];
      td |= wanted.ta3 ? 0x10 : 0x00;
      td |= wanted.tb3 ? 0x20 : 0x00;
      atr.push_back(td);
      otherThanT0 = otherThanT0 || protocols[1] != 0;
      if (wanted.ta3) {
        atr.push_back(*wanted.ta3);
      }
      if (wanted.tb3) {
        atr.push_back(*wanted.tb3);
      }
    }
  }
  atr.insert(atr.end(), wanted.historical.begin(), wanted.historical.begin() + static_cast<std::ptrdiff_t>(k));

  // TCK makes the exclusive-or of T0 to TCK zero; it is present when any
  // protocol other than T=0 is announced (ISO/IEC 7816-3 clause 8.2.5).
  if (wanted.tck && otherThanT0) {
    std::uint8_t tck = 0;
    for (std::size_t i = 1; i < atr.size(); ++i) {
      tck ^= atr[i];
    }
    atr.push_back(tck);
  }
  return atr;
}

}  // namespace emu
