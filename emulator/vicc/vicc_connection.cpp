#include "emulator/vicc/vicc_connection.h"

#include <sys/socket.h>

#include <cerrno>

#include "emulator/card/apdu.h"
#include "emulator/vicc/vicc_protocol.h"

namespace emu::vicc {

ViccConnection::ViccConnection(UniqueFd socket, std::chrono::milliseconds replyBound)
    : replyBound_(replyBound), socket_(std::move(socket)), fd_(socket_.Get()) {}

std::optional<Bytes> ViccConnection::RequestAtr() {
  std::lock_guard io(ioMu_);
  const std::uint8_t control[] = {kGetAtr};
  std::optional<Bytes> atr = Exchange(control, true);
  if (atr && (atr->size() < kMinAtr || atr->size() > kMaxAtr)) {
    Shutdown();
    return std::nullopt;
  }
  return atr;
}

void ViccConnection::PowerOn(bool warm) {
  std::lock_guard io(ioMu_);
  const std::uint8_t control[] = {warm ? kReset : kPowerOn};
  Exchange(control, false);
}

void ViccConnection::PowerOff() {
  std::lock_guard io(ioMu_);
  const std::uint8_t control[] = {kPowerOff};
  Exchange(control, false);
}

std::optional<ResponseApdu> ViccConnection::AnswerCommand(const CommandApdu& command) {
  const std::optional<Bytes> answer = AnswerApdu(Serialize(command));
  if (!answer) return std::nullopt;
  return SplitResponse(*answer);
}

std::optional<Bytes> ViccConnection::AnswerApdu(std::span<const std::uint8_t> apdu) {
  std::lock_guard io(ioMu_);
  // Fewer than four bytes are no command APDU (and one byte would read as a
  // control); more than the length field holds cannot be sent. The card
  // answers both itself, as its own application would.
  if (apdu.size() < 4 || apdu.size() > kMaxPayload) return StatusOnly(sw::kWrongLength);
  std::optional<Bytes> answer = Exchange(apdu, true);
  if (answer && answer->size() < 2) {
    Shutdown();
    return std::nullopt;
  }
  return answer;
}

std::optional<Bytes> ViccConnection::Exchange(std::span<const std::uint8_t> payload, bool answered) {
  if (Broken()) return std::nullopt;
  const Clock::time_point deadline = Clock::now() + replyBound_;
  if (!SendAll(fd_, FrameMessage(payload), deadline)) {
    Shutdown();
    return std::nullopt;
  }
  if (!answered) return Bytes{};
  Received received = ReceiveMessage(fd_, deadline);
  if (received.status != ReceiveStatus::Ok) {
    Shutdown();
    return std::nullopt;
  }
  return std::move(received.payload);
}

bool ViccConnection::Broken() const {
  std::lock_guard lock(fdMu_);
  return broken_;
}

bool ViccConnection::StillUsable() {
  std::lock_guard io(ioMu_);
  if (Broken()) return false;
  std::uint8_t byte = 0;
  const ssize_t n = recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
  Shutdown();
  return false;
}

void ViccConnection::Shutdown() {
  std::lock_guard lock(fdMu_);
  broken_ = true;
  if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
}

void ViccConnection::Close() {
  std::lock_guard io(ioMu_);
  std::lock_guard lock(fdMu_);
  broken_ = true;
  if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
  socket_.Reset();
  fd_ = -1;
}

}  // namespace emu::vicc
