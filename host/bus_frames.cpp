#include "host/bus_frames.h"

namespace host {
namespace {

// First bytes of the old generation's frames: a reader command and the two
// card frames the reader runs itself.
bool IsOldGenerationType(std::uint8_t first) { return first == 0x10 || first == 0x50 || first == 0x51; }

// New-generation card frames with a two-byte length: T=0 frames both ways
// (the card's own T=1 blocks come back with the address 0x25).
constexpr std::uint8_t kCardAddress = 0x52;

}  // namespace

std::optional<std::size_t> AnnouncedFrameLength(std::span<const std::uint8_t> bytes, bool oldGeneration) {
  if (bytes.empty()) return std::nullopt;
  if (oldGeneration) {
    // Type, 24-bit big-endian length, information field.
    if (bytes.size() < 4) return std::nullopt;
    return ((std::size_t{bytes[1]} << 16) | (std::size_t{bytes[2]} << 8) | bytes[3]) + 4;
  }
  if (bytes[0] == kCardAddress) {
    // Address, control, 16-bit length, data, check byte.
    if (bytes.size() < 4) return std::nullopt;
    return ((std::size_t{bytes[2]} << 8) | bytes[3]) + 5;
  }
  // Address, control, length, information field, check byte; T=1 blocks too.
  if (bytes.size() < 3) return std::nullopt;
  return std::size_t{bytes[2]} + 4;
}

std::vector<BusFrame> FrameAssembler::Add(const BusTransfer& transfer) {
  std::vector<BusFrame> frames;
  if (transfer.direction == Direction::Out) {
    if (std::optional<BusFrame> cut = Flush()) frames.push_back(std::move(*cut));
    // A zero-length packet ends the frame before it and says nothing of the next reply.
    if (!transfer.data.empty()) oldGeneration_ = IsOldGenerationType(transfer.data[0]);
    frames.push_back(BusFrame{Direction::Out, transfer.time, transfer.data, true});
    return frames;
  }
  if (transfer.data.empty()) return frames;
  pending_.insert(pending_.end(), transfer.data.begin(), transfer.data.end());
  pendingTime_ = transfer.time;
  const std::optional<std::size_t> length = AnnouncedFrameLength(pending_, oldGeneration_);
  if (length && pending_.size() >= *length) {
    frames.push_back(BusFrame{Direction::In, pendingTime_, std::move(pending_), true});
    pending_.clear();
  }
  return frames;
}

std::optional<BusFrame> FrameAssembler::Flush() {
  if (pending_.empty()) return std::nullopt;
  BusFrame frame{Direction::In, pendingTime_, std::move(pending_), false};
  pending_.clear();
  return frame;
}

}  // namespace host
