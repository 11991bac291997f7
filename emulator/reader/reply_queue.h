// The reader's reply frames waiting for bulk IN transfers, and the scripted
// faults that change how the next ones are delivered.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

#include "emulator/reader/frame.h"
#include "platform/usb/usb_function.h"

namespace emu {

// One scripted misbehaviour. Each is consumed by the next request frame the
// reader takes in and acts on the reply that answers it (after NULL
// procedure frames, the final one); a request that gets no reply uses it up.
// One with `at` N waits for the Nth request frame from the moment it is
// scripted (the reader keeps the frame's own number in `at`).
struct ReplyFault {
  enum class Kind {
    Split,         // deliver the reply in IN transfers of at most these sizes, then the rest
    Delay,         // the reply is ready this much later
    Withhold,      // NAK until the test releases it or the IN pipe is aborted (then it is dropped)
    BadCheckByte,  // the last byte of the reply (the check byte in the new generation) is wrong
    ErrorReply,    // refuse the request with the error reply; the reader does not act on it
    Oversized,     // replace the reply with an old-generation header announcing `length` bytes, then stream them
    Truncate,      // send only the first `length` bytes of the reply, then nothing
    NoReply,       // swallow the request: the reader neither acts on it nor answers
  };
  Kind kind = Kind::Delay;
  std::vector<std::uint32_t> sizes;
  DeviceTime delay = 0;
  std::uint32_t length = 0;
  std::uint32_t at = 0;  // 0: the next request frame

  static ReplyFault Split(std::vector<std::uint32_t> sizes);
  static ReplyFault Delay(DeviceTime delay);
  static ReplyFault Withhold();
  static ReplyFault BadCheckByte();
  static ReplyFault ErrorReply();
  static ReplyFault Oversized(std::uint32_t announced = 0x020000);
  static ReplyFault Truncate(std::uint32_t keep);
  static ReplyFault NoReply();
};

// One reply frame on its way out. An oversized reply streams `filler`
// pattern bytes after `bytes` without holding them.
struct QueuedReply {
  Bytes bytes;
  std::uint32_t fillerLength = 0;
  DeviceTime readyAt = 0;
  std::vector<std::uint32_t> splits;  // the sizes still to come, the next one first (a handful)
  bool withheld = false;
  std::uint32_t delivered = 0;

  std::uint32_t Total() const { return static_cast<std::uint32_t>(bytes.size()) + fillerLength; }
};

// The replies to one request frame, when there is one: moved in, where a
// braced list would copy its bytes.
inline std::vector<QueuedReply> OneReply(QueuedReply reply) {
  std::vector<QueuedReply> replies;
  replies.push_back(std::move(reply));
  return replies;
}

// Applies a fault that changes the reply itself (not ErrorReply or NoReply,
// which act before the request is handled).
void ApplyFault(const ReplyFault& fault, QueuedReply& reply);

class ReplyQueue {
 public:
  // A reader holds a bounded number of replies; beyond it new ones are lost.
  static constexpr std::size_t kCapacity = 256;

  bool Push(QueuedReply reply);
  // One IN transfer of at most maxLength bytes at `now`. zeroLengthWhenIdle
  // answers with an empty packet instead of a NAK while nothing is ready.
  usb::InResult Take(std::uint32_t maxLength, DeviceTime now, DeviceTime latency, bool zeroLengthWhenIdle);
  // Returns whether a withheld reply was released.
  bool ReleaseWithheld();
  void DropWithheld();
  void Clear() { replies_.clear(); }
  std::size_t Size() const { return replies_.size(); }

 private:
  std::deque<QueuedReply> replies_;
};

}  // namespace emu
