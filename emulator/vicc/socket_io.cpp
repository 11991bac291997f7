#include "emulator/vicc/socket_io.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "emulator/vicc/vicc_protocol.h"

namespace emu::vicc {
namespace {

// Waits for `events` on fd until the deadline: false on the deadline or an error.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() < 0) return false;
    // Round up so that a wait never ends just short of the deadline and spins.
    pollfd p{fd, events, 0};
    const int n = poll(&p, 1, static_cast<int>(left.count()) + 1);
    if (n > 0) return true;  // ready, or hung up: the read or write tells which
    if (n < 0 && errno != EINTR) return false;
  }
}

enum class ReadStatus { Ok, Closed, TimedOut };

ReadStatus ReadExactly(int fd, std::span<std::uint8_t> out, Clock::time_point deadline) {
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = recv(fd, out.data() + done, out.size() - done, 0);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) return ReadStatus::Closed;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return ReadStatus::Closed;
    if (!WaitFor(fd, POLLIN, deadline)) return ReadStatus::TimedOut;
  }
  return ReadStatus::Ok;
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    Reset();
    fd_ = other.Release();
  }
  return *this;
}

int UniqueFd::Release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void UniqueFd::Reset() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool PrepareConnection(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return false;
  int domain = 0;
  socklen_t size = sizeof domain;
  if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &size) == 0 && (domain == AF_INET || domain == AF_INET6)) {
    const int on = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) < 0) return false;
  }
  return true;
}

bool SendAll(int fd, std::span<const std::uint8_t> bytes, Clock::time_point deadline) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    // MSG_NOSIGNAL: a peer that went away is an error here, not SIGPIPE.
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitFor(fd, POLLOUT, deadline)) return false;
      continue;
    }
    return false;
  }
  return true;
}

Received ReceiveMessage(int fd, Clock::time_point deadline) {
  std::uint8_t length[kLengthSize];
  Received received;
  switch (ReadExactly(fd, length, deadline)) {
    case ReadStatus::Closed: received.status = ReceiveStatus::Closed; return received;
    case ReadStatus::TimedOut: received.status = ReceiveStatus::TimedOut; return received;
    case ReadStatus::Ok: break;
  }
  const std::size_t size = (std::size_t{length[0]} << 8) | length[1];
  if (size == 0) {
    received.status = ReceiveStatus::Malformed;
    return received;
  }
  received.payload.resize(size);
  switch (ReadExactly(fd, received.payload, deadline)) {
    case ReadStatus::Closed: received.status = ReceiveStatus::Closed; break;
    case ReadStatus::TimedOut: received.status = ReceiveStatus::TimedOut; break;
    case ReadStatus::Ok: received.status = ReceiveStatus::Ok; break;
  }
  if (received.status != ReceiveStatus::Ok) received.payload.clear();
  return received;
}

}  // namespace emu::vicc
