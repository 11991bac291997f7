// A stand-in for the card emulator vicc on the other end of the bridge's
// socket: it connects to the listener, records every message it receives
// byte for byte (length prefix included) and sends back whatever its answer
// function returns, as raw bytes so that tests can also send malformed ones.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "emulator/card/bytes.h"

namespace emu::test {

using namespace std::chrono_literals;

// Generous: these waits end as soon as the awaited thing happens.
constexpr std::chrono::milliseconds kEventBound = 5s;

class FakeVicc {
 public:
  // Gets a message's payload; returns the raw bytes to send back (nothing when empty).
  using Answer = std::function<Bytes(const Bytes& payload)>;

  // Answers the ATR request with `atr` and every APDU with `answer`.
  static Answer CardWith(const Bytes& atr, std::function<Bytes(const Bytes& apdu)> answer);

  FakeVicc(std::uint16_t port, Answer answer);
  ~FakeVicc();
  FakeVicc(const FakeVicc&) = delete;
  FakeVicc& operator=(const FakeVicc&) = delete;

  // Closes the connection, as vicc does when it stops.
  void Close();
  // Every message received, length prefix and payload.
  std::vector<Bytes> Messages() const;
  bool WaitForMessages(std::size_t count) const;

 private:
  void Run();

  Answer answer_;
  int fd_ = -1;
  mutable std::mutex mu_;
  mutable std::condition_variable changed_;
  std::vector<Bytes> messages_;
  std::thread thread_;
};

// Length and payload.
Bytes Framed(const Bytes& payload);

// A TCP port on 127.0.0.1 that was free a moment ago (0 when none could be had).
std::uint16_t FreePort();

}  // namespace emu::test
