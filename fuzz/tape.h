// The fuzz input read from front to back by everyone who needs bytes: the
// target deciding what to do next and, on other threads, the hostile reader
// or card deciding what to answer. Reads past the end give zeros (and
// Exhausted() turns true), so every input is a complete run.
//
// A recording tape writes down every byte read, and what Append adds in
// between: the seed generator runs a target's session with the emulated
// card answering and gets an input that replays it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

namespace fuzzing {

class Tape {
 public:
  explicit Tape(std::span<const std::uint8_t> bytes, bool recording = false)
      : bytes_(bytes.begin(), bytes.end()), recording_(recording) {}

  bool Recording() const { return recording_; }
  void Append(std::uint8_t byte) { Append(std::span(&byte, 1)); }
  void Append(std::span<const std::uint8_t> bytes) {
    std::lock_guard lock(mu_);
    record_.insert(record_.end(), bytes.begin(), bytes.end());
  }
  std::vector<std::uint8_t> Recorded() const {
    std::lock_guard lock(mu_);
    return record_;
  }

  bool Exhausted() const { return Left() == 0; }
  std::size_t Left() const {
    std::lock_guard lock(mu_);
    return bytes_.size() - next_;
  }
  std::uint8_t Byte() { return Take(1)[0]; }
  std::uint16_t Word() {
    const std::uint16_t high = Byte();
    return static_cast<std::uint16_t>(high << 8 | Byte());
  }
  std::uint32_t Long() {
    const std::uint32_t high = Word();
    return high << 16 | Word();
  }
  // `count` bytes, zeros past the end.
  std::vector<std::uint8_t> Take(std::size_t count) {
    std::lock_guard lock(mu_);
    std::vector<std::uint8_t> out(count, 0);
    const std::size_t available = std::min(count, bytes_.size() - next_);
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(next_), available, out.begin());
    next_ += available;
    if (recording_) record_.insert(record_.end(), out.begin(), out.end());
    return out;
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::uint8_t> bytes_;
  std::size_t next_ = 0;
  bool recording_ = false;
  std::vector<std::uint8_t> record_;
};

}  // namespace fuzzing
