// The reader's frames on the wire: how much of a request has to arrive before
// it is complete, and how replies are laid out in both generations.
//
// Old generation: type, 24-bit big-endian length N, N information bytes.
// New generation: address, control, one-byte length N, N information bytes,
// a check byte that is the exclusive-or of every byte before it. T=0 card
// frames of the new generation carry a two-byte length instead.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "emulator/reader/reader_config.h"

namespace emu {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kOldCommandType = 0x10;
constexpr std::uint8_t kOldT0CardType = 0x50;
constexpr std::uint8_t kOldT1CardType = 0x51;
constexpr std::uint8_t kNewCommandAddress = 0x12;
constexpr std::uint8_t kNewCardAddress = 0x52;
constexpr std::uint8_t kErrorReplyAddress = 0x21;
// The byte at information offset 3 of every error reply; the host reads it
// as "no card" after an eject.
constexpr std::uint8_t kErrorMarker = 0xAD;

// Longest information field of a reader command in either generation.
constexpr std::uint32_t kMaxCommandInfo = 255;
// Longest old-generation card frame, header included.
constexpr std::uint32_t kMaxOldCardFrame = 65'568;
// A T=0 command TPDU is a 5-byte header and at most 255 data bytes (ISO/IEC
// 7816-3 clause 10.3.2); the host also sends a bare 4-byte case 1 header.
constexpr std::uint32_t kMinT0Command = 4;
constexpr std::uint32_t kMaxT0Command = 260;

// Why the reader refuses a frame: the low nibble of information byte 2 of its
// error reply (the high nibble is always 0xF). The codes stay below 8 so that
// an error reply read as a status byte never shows a card (bit 0x08).
enum class ErrorCode : std::uint8_t {
  BadCheckByte = 1,
  UnknownCommand = 2,
  BadLength = 3,
  NoCard = 4,
  CardNotPowered = 5,
  UnknownFrame = 6,
  NoResult = 7,
};

// What a 0x52 frame means depends on the protocol the card was reset into.
enum class CardFrameMode { None, T0, T1 };

struct FrameShape {
  enum class Kind { NeedMore, Complete, Refused };
  Kind kind = Kind::NeedMore;
  std::uint32_t length = 0;  // Complete: the frame's length
  ErrorCode error = ErrorCode::BadLength;
};

// How far a request that begins with these bytes has arrived.
FrameShape ClassifyFrame(std::span<const std::uint8_t> bytes, CardFrameMode mode);

std::uint8_t CheckByte(std::span<const std::uint8_t> bytes);

// The generation of a request frame by its first byte; unknown bytes get the
// reader's own generation.
Generation GenerationOf(std::uint8_t firstByte, Generation native);

// A new-generation frame: address, control, N, info, check byte. The info
// field must not exceed 255 bytes.
Bytes BuildNewFrame(std::uint8_t address, std::uint8_t control, std::span<const std::uint8_t> info);
// A T=0 card frame: 0x52, control, two-byte length, data, check byte.
Bytes BuildT0Frame(std::uint8_t control, std::span<const std::uint8_t> data);
// An old-generation frame: type, 24-bit length, info.
Bytes BuildOldFrame(std::uint8_t type, std::span<const std::uint8_t> info);

// The error reply: information field 01 <command> F<code> AD, in the new
// generation 8 bytes 21 s 04 01 <command> F<code> AD c with the request's
// control byte, in the old one behind the header 21 00 00 04.
Bytes BuildErrorReply(Generation generation, std::uint8_t control, std::uint8_t command, ErrorCode code);

}  // namespace emu
