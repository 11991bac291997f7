// Socket primitives of the vicc bridge: an owned descriptor, and whole
// messages sent and received within a deadline on a non-blocking stream
// socket. These wait in real time (poll), not on the platform's clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>

#include "emulator/card/bytes.h"

namespace emu::vicc {

using Clock = std::chrono::steady_clock;

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int Get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int Release();
  void Reset();

 private:
  int fd_ = -1;
};

// Non-blocking, and TCP_NODELAY where the socket is TCP: every message goes
// out in one write, and waiting for its acknowledgement before the next
// would cost the peer's delayed-acknowledgement time on every APDU.
bool PrepareConnection(int fd);

// Writes all of `bytes` before `deadline`. False on an error, a closed peer
// or the deadline.
bool SendAll(int fd, std::span<const std::uint8_t> bytes, Clock::time_point deadline);

enum class ReceiveStatus {
  Ok,
  Closed,     // the peer closed the connection (or a reading error)
  TimedOut,   // nothing complete before the deadline
  Malformed,  // a message of length 0
};

struct Received {
  ReceiveStatus status = ReceiveStatus::Closed;
  Bytes payload;
};

// One message: its two length bytes and the payload they announce, all
// before `deadline`.
Received ReceiveMessage(int fd, Clock::time_point deadline);

}  // namespace emu::vicc
