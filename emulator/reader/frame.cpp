#include "emulator/reader/frame.h"

namespace emu {
namespace {

FrameShape NeedMore() { return {}; }
FrameShape Complete(std::uint32_t length) { return {FrameShape::Kind::Complete, length, ErrorCode::BadLength}; }
FrameShape Refused(ErrorCode error) { return {FrameShape::Kind::Refused, 0, error}; }

std::uint32_t OldLength(std::span<const std::uint8_t> b) {
  return (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
}

}  // namespace

FrameShape ClassifyFrame(std::span<const std::uint8_t> b, CardFrameMode mode) {
  if (b.empty()) return NeedMore();
  switch (b[0]) {
    case kOldCommandType:
    case kOldT0CardType:
    case kOldT1CardType: {
      if (b.size() < 4) return NeedMore();
      const std::uint32_t n = OldLength(b);
      if (b[0] == kOldCommandType) {
        // Information byte 0 is 0x01 and byte 1 the command: anything shorter
        // names no command.
        if (n < 2 || n > kMaxCommandInfo) return Refused(ErrorCode::BadLength);
      } else {
        if (mode == CardFrameMode::None) return Refused(ErrorCode::CardNotPowered);
        if (n < kMinT0Command || n > kMaxOldCardFrame - 4) return Refused(ErrorCode::BadLength);
      }
      return Complete(n + 4);
    }
    case kNewCommandAddress: {
      if (b.size() < 3) return NeedMore();
      if (b[2] < 2) return Refused(ErrorCode::BadLength);
      return Complete(std::uint32_t{b[2]} + 4);
    }
    case kNewCardAddress: {
      if (mode == CardFrameMode::None) return Refused(ErrorCode::CardNotPowered);
      if (mode == CardFrameMode::T1) {
        if (b.size() < 3) return NeedMore();
        return Complete(std::uint32_t{b[2]} + 4);
      }
      if (b.size() < 4) return NeedMore();
      const std::uint32_t n = (std::uint32_t{b[2]} << 8) | b[3];
      if (n < kMinT0Command || n > kMaxT0Command) return Refused(ErrorCode::BadLength);
      return Complete(n + 5);
    }
    default:
      return Refused(ErrorCode::UnknownFrame);
  }
}

std::uint8_t CheckByte(std::span<const std::uint8_t> bytes) {
  std::uint8_t x = 0;
  for (std::uint8_t b : bytes) x ^= b;
  return x;
}

Generation GenerationOf(std::uint8_t firstByte, Generation native) {
  switch (firstByte) {
    case kOldCommandType:
    case kOldT0CardType:
    case kOldT1CardType:
      return Generation::Old;
    case kNewCommandAddress:
    case kNewCardAddress:
      return Generation::New;
    default:
      return native;
  }
}

Bytes BuildNewFrame(std::uint8_t address, std::uint8_t control, std::span<const std::uint8_t> info) {
  Bytes f;
  f.reserve(info.size() + 4);
  f.push_back(address);
  f.push_back(control);
  f.push_back(static_cast<std::uint8_t>(info.size()));
  f.insert(f.end(), info.begin(), info.end());
  f.push_back(CheckByte(f));
  return f;
}

Bytes BuildT0Frame(std::uint8_t control, std::span<const std::uint8_t> data) {
  Bytes f;
  f.reserve(data.size() + 5);
  f.push_back(kNewCardAddress);
  f.push_back(control);
  f.push_back(static_cast<std::uint8_t>((data.size() >> 8) & 0xFF));
  f.push_back(static_cast<std::uint8_t>(data.size() & 0xFF));
  f.insert(f.end(), data.begin(), data.end());
  f.push_back(CheckByte(f));
  return f;
}

Bytes BuildOldFrame(std::uint8_t type, std::span<const std::uint8_t> info) {
  const auto n = static_cast<std::uint32_t>(info.size());
  Bytes f;
  f.reserve(info.size() + 4);
  f.push_back(type);
  f.push_back(static_cast<std::uint8_t>((n >> 16) & 0xFF));
  f.push_back(static_cast<std::uint8_t>((n >> 8) & 0xFF));
  f.push_back(static_cast<std::uint8_t>(n & 0xFF));
  f.insert(f.end(), info.begin(), info.end());
  return f;
}

Bytes BuildErrorReply(Generation generation, std::uint8_t control, std::uint8_t command, ErrorCode code) {
  const std::uint8_t info[] = {0x01, command, static_cast<std::uint8_t>(0xF0 | static_cast<std::uint8_t>(code)),
                               kErrorMarker};
  if (generation == Generation::New) return BuildNewFrame(kErrorReplyAddress, control, info);
  return BuildOldFrame(kErrorReplyAddress, info);
}

}  // namespace emu
