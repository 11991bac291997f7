// T=1 blocks as ISO/IEC 7816-3 clause 11.3 frames them: NAD PCB LEN INF LRC.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "emulator/card/bytes.h"

namespace emu::t1 {

constexpr std::size_t kPrologueSize = 3;  // NAD, PCB, LEN
constexpr std::size_t kMinBlockSize = 4;  // prologue and the LRC
constexpr std::uint8_t kMaxInf = 254;     // LEN 0xFF is reserved

// S-block types in the low six bits of the PCB; bit 0x20 marks a response.
enum class SType : std::uint8_t { Resynch = 0x00, Ifs = 0x01, Abort = 0x02, Wtx = 0x03 };
constexpr std::uint8_t kSResponse = 0x20;

// R-block error codes in the low two bits of the PCB.
constexpr std::uint8_t kNoError = 0;
constexpr std::uint8_t kEdcError = 1;
constexpr std::uint8_t kOtherError = 2;

// The exclusive-or of the bytes (the LRC of the epilogue field, ISO/IEC 7816-3 clause 11.3).
std::uint8_t Lrc(std::span<const std::uint8_t> bytes);

Bytes BuildBlock(std::uint8_t nad, std::uint8_t pcb, std::span<const std::uint8_t> inf);
Bytes BuildIBlock(std::uint8_t nad, std::uint8_t sequence, bool more, std::span<const std::uint8_t> inf);
Bytes BuildRBlock(std::uint8_t nad, std::uint8_t expected, std::uint8_t error);
Bytes BuildSBlock(std::uint8_t nad, std::uint8_t pcbType, std::optional<std::uint8_t> inf);

bool IsIBlock(std::span<const std::uint8_t> block);

// The NAD of an answer: the received DAD (bits 0x70) becomes the SAD (bits
// 0x07) and the other way round, so a block from 0x52 is answered from
// 0x25. The VPP bits 0x88 stay clear.
std::uint8_t AnswerNad(std::uint8_t received);

// What is wrong with a received block, if anything. The first three make
// the block unreadable (answered with an EDC error); the others break the
// protocol's rules in a readable block (answered with "other error").
enum class Defect : std::uint8_t {
  None,
  TooShort,        // fewer than 4 bytes
  LengthMismatch,  // LEN disagrees with the number of bytes received
  BadLrc,          // the check byte disagrees
  ReservedLength,  // LEN 0xFF
  InfTooLong,      // an I-block's INF exceeds the card's IFSC
};

bool IsUnreadable(Defect defect);

struct ParsedBlock {
  Defect defect = Defect::None;
  std::uint8_t nad = 0;
  std::uint8_t pcb = 0;
  std::span<const std::uint8_t> inf;  // valid only when defect is None
};

// Checks one received block against the card's IFSC, where it enters.
ParsedBlock ParseBlock(std::span<const std::uint8_t> block, std::uint8_t ifsc);

}  // namespace emu::t1
