// The fuzz input read from front to back by everyone who needs bytes: the
// target deciding what to do next and, on other threads, the hostile reader
// or card deciding what to answer. Reads past the end give zeros (and
// Exhausted() turns true), so every input is a complete run.
#pragma once

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

namespace fuzzing {

class Tape {
 public:
  explicit Tape(std::span<const std::uint8_t> bytes) : bytes_(bytes.begin(), bytes.end()) {}

  bool Exhausted() const {
    std::lock_guard lock(mu_);
    return next_ >= bytes_.size();
  }
  std::uint8_t Byte() {
    std::lock_guard lock(mu_);
    return next_ < bytes_.size() ? bytes_[next_++] : 0;
  }
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
    const std::size_t available = next_ < bytes_.size() ? std::min(count, bytes_.size() - next_) : 0;
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(next_), available, out.begin());
    next_ += available;
    return out;
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::uint8_t> bytes_;
  std::size_t next_ = 0;
};

}  // namespace fuzzing
