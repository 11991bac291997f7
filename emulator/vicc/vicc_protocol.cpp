#include "emulator/vicc/vicc_protocol.h"

namespace emu::vicc {

Bytes FrameMessage(std::span<const std::uint8_t> payload) {
  Bytes out;
  out.reserve(kLengthSize + payload.size());
  out.push_back(static_cast<std::uint8_t>(payload.size() >> 8));
  out.push_back(static_cast<std::uint8_t>(payload.size()));
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

std::optional<std::uint8_t> AtrIfsc(std::span<const std::uint8_t> atr) {
  if (atr.size() < 2) return std::nullopt;
  // Y1 is the high nibble of T0; each TDi brings the next indicator and a
  // protocol number in its low nibble (ISO/IEC 7816-3 clause 8.2.2).
  std::size_t at = 2;
  std::uint8_t indicator = atr[1];
  int level = 1;
  bool afterT1 = false;
  while (true) {
    for (std::uint8_t bit = 0x10; bit <= 0x40; bit <<= 1) {
      if ((indicator & bit) == 0) continue;
      if (at >= atr.size()) return std::nullopt;
      const std::uint8_t value = atr[at++];
      if (bit == 0x10 && afterT1 && level >= 3) {
        if (value == 0x00 || value == 0xFF) return std::nullopt;
        return value;
      }
    }
    if ((indicator & 0x80) == 0 || at >= atr.size()) return std::nullopt;
    const std::uint8_t td = atr[at++];
    afterT1 = (td & 0x0F) == 1;
    indicator = td;
    ++level;
  }
}

CardConfig CardConfigForAtr(std::span<const std::uint8_t> atr) {
  CardConfig config;
  config.atrOverride = Bytes(atr.begin(), atr.end());
  config.atr.ta3 = AtrIfsc(atr);
  return config;
}

std::optional<ResponseApdu> SplitResponse(std::span<const std::uint8_t> answer) {
  if (answer.size() < 2) return std::nullopt;
  ResponseApdu response;
  response.data.assign(answer.begin(), answer.end() - 2);
  response.sw = static_cast<std::uint16_t>((answer[answer.size() - 2] << 8) | answer.back());
  return response;
}

}  // namespace emu::vicc
