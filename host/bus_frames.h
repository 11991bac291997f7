// Reader frames as they cross the bulk pipes: the host writes every request
// frame in one transfer (a zero-length one may follow), while a reply may
// arrive over several transfers. The assembler puts the pieces of a reply
// back together by the length its header announces, read the way the
// reply's generation and kind lay it out (the generation is the one of the
// request before it).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "host/hex.h"

namespace host {

enum class Direction { Out, In };

// One bulk transfer as the bus trace records it.
struct BusTransfer {
  Direction direction = Direction::Out;
  std::int64_t time = 0;  // system time at completion, 100-ns units
  Bytes data;
};

// One frame: a request written, or a reply gathered.
struct BusFrame {
  Direction direction = Direction::Out;
  std::int64_t time = 0;  // when its last piece crossed
  Bytes bytes;            // empty: a zero-length packet
  bool complete = true;   // false: a reply cut short (the host stopped reading)
};

// The length a frame of this generation announces in its header, once
// enough of it is there to read it.
std::optional<std::size_t> AnnouncedFrameLength(std::span<const std::uint8_t> bytes, bool oldGeneration);

class FrameAssembler {
 public:
  // The frames this transfer completes: an OUT transfer is a frame of its
  // own and ends an unfinished reply before it; an IN transfer without data
  // completes nothing.
  std::vector<BusFrame> Add(const BusTransfer& transfer);
  // The unfinished reply, if any, as an incomplete frame.
  std::optional<BusFrame> Flush();

 private:
  Bytes pending_;
  std::int64_t pendingTime_ = 0;
  bool oldGeneration_ = false;
};

}  // namespace host
