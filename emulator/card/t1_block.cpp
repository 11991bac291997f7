#include "emulator/card/t1_block.h"

namespace emu::t1 {

std::uint8_t Lrc(std::span<const std::uint8_t> bytes) {
  std::uint8_t lrc = 0;
  for (const std::uint8_t byte : bytes) {
    lrc ^= byte;
  }
  return lrc;
}

Bytes BuildBlock(std::uint8_t nad, std::uint8_t pcb, std::span<const std::uint8_t> inf) {
  Bytes block;
  block.reserve(kMinBlockSize + inf.size());
  block.push_back(nad);
  block.push_back(pcb);
  block.push_back(static_cast<std::uint8_t>(inf.size()));
  block.insert(block.end(), inf.begin(), inf.end());
  block.push_back(Lrc(block));
  return block;
}

Bytes BuildIBlock(std::uint8_t nad, std::uint8_t sequence, bool more, std::span<const std::uint8_t> inf) {
  const auto pcb = static_cast<std::uint8_t>((sequence != 0 ? 0x40 : 0x00) | (more ? 0x20 : 0x00));
  return BuildBlock(nad, pcb, inf);
}

Bytes BuildRBlock(std::uint8_t nad, std::uint8_t expected, std::uint8_t error) {
  const auto pcb = static_cast<std::uint8_t>(0x80 | (expected != 0 ? 0x10 : 0x00) | (error & 0x03));
  return BuildBlock(nad, pcb, {});
}

Bytes BuildSBlock(std::uint8_t nad, std::uint8_t pcbType, std::optional<std::uint8_t> inf) {
  const auto pcb = static_cast<std::uint8_t>(0xC0 | (pcbType & 0x3F));
  if (inf) {
    const std::uint8_t value = *inf;
    return BuildBlock(nad, pcb, std::span<const std::uint8_t>(&value, 1));
  }
  return BuildBlock(nad, pcb, {});
}

bool IsIBlock(std::span<const std::uint8_t> block) {
  return block.size() >= kMinBlockSize && (block[1] & 0x80) == 0;
}

std::uint8_t AnswerNad(std::uint8_t received) {
  return static_cast<std::uint8_t>(((received & 0x07) << 4) | ((received >> 4) & 0x07));
}

bool IsUnreadable(Defect defect) {
  return defect == Defect::TooShort || defect == Defect::LengthMismatch || defect == Defect::BadLrc;
}

ParsedBlock ParseBlock(std::span<const std::uint8_t> block, std::uint8_t ifsc) {
  ParsedBlock parsed;
  if (block.size() < kMinBlockSize) {
    parsed.defect = Defect::TooShort;
    return parsed;
  }
  parsed.nad = block[0];
  parsed.pcb = block[1];
  const std::size_t len = block[2];
  if (block.size() != kMinBlockSize + len) {
    parsed.defect = Defect::LengthMismatch;
    return parsed;
  }
  if (Lrc(block.first(block.size() - 1)) != block.back()) {
    parsed.defect = Defect::BadLrc;
    return parsed;
  }
  if (len > kMaxInf) {
    parsed.defect = Defect::ReservedLength;
    return parsed;
  }
  // The IFSC bounds only the information fields of I-blocks (ISO/IEC 7816-3 clause 11.4).
  if ((parsed.pcb & 0x80) == 0 && len > ifsc) {
    parsed.defect = Defect::InfTooLong;
    return parsed;
  }
  parsed.inf = block.subspan(kPrologueSize, len);
  return parsed;
}

}  // namespace emu::t1
