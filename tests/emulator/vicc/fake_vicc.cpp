#include "tests/emulator/vicc/fake_vicc.h"

#include <algorithm>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace emu::test {
namespace {

bool ReadExactly(int fd, std::uint8_t* out, std::size_t size) {
  return size == 0 || recv(fd, out, size, MSG_WAITALL) == static_cast<ssize_t>(size);
}

}  // namespace

Bytes Framed(const Bytes& payload) {
  // Sized first: GCC 12 misreads an insert behind an initializer list as a
  // write past the two-byte start.
  Bytes out(2 + payload.size());
  out[0] = static_cast<std::uint8_t>(payload.size() >> 8);
  out[1] = static_cast<std::uint8_t>(payload.size());
  std::copy(payload.begin(), payload.end(), out.begin() + 2);
  return out;
}

std::uint16_t FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  const bool bound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                     getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0;
  if (fd >= 0) close(fd);
  return bound ? ntohs(address.sin_port) : 0;
}

FakeVicc::Answer FakeVicc::CardWith(const Bytes& atr, std::function<Bytes(const Bytes& apdu)> answer) {
  return [atr, answer](const Bytes& payload) -> Bytes {
    if (payload == Bytes{0x04}) return Framed(atr);
    if (payload.size() == 1) return {};
    return answer(payload);
  };
}

FakeVicc::FakeVicc(std::uint16_t port, Answer answer) : answer_(std::move(answer)) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    return;
  }
  thread_ = std::thread([this] { Run(); });
}

FakeVicc::~FakeVicc() { Close(); }

void FakeVicc::Close() {
  if (fd_ < 0) return;
  shutdown(fd_, SHUT_RDWR);
  if (thread_.joinable()) thread_.join();
  close(fd_);
  fd_ = -1;
}

void FakeVicc::Run() {
  while (true) {
    std::uint8_t length[2];
    if (!ReadExactly(fd_, length, 2)) break;
    Bytes payload((std::size_t{length[0]} << 8) | length[1]);
    if (!ReadExactly(fd_, payload.data(), payload.size())) break;
    {
      std::lock_guard lock(mu_);
      messages_.push_back(Framed(payload));
    }
    changed_.notify_all();
    const Bytes reply = answer_(payload);
    if (!reply.empty()) send(fd_, reply.data(), reply.size(), MSG_NOSIGNAL);
  }
}

std::vector<Bytes> FakeVicc::Messages() const {
  std::lock_guard lock(mu_);
  return messages_;
}

bool FakeVicc::WaitForMessages(std::size_t count) const {
  std::unique_lock lock(mu_);
  return changed_.wait_for(lock, kEventBound, [&] { return messages_.size() >= count; });
}

}  // namespace emu::test
