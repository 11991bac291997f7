#include "emulator/vicc/vicc_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "emulator/vicc/vicc_protocol.h"

namespace emu {

ViccListener::ViccListener(Reader& reader, std::uint16_t port, std::chrono::milliseconds replyBound)
    : reader_(reader), replyBound_(replyBound) {
  if (Open(port)) thread_ = std::thread([this] { Run(); });
}

ViccListener::~ViccListener() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
    // Wakes an exchange that waits for vicc, so that the thread can close.
    if (connection_) connection_->Shutdown();
  }
  const std::uint64_t one = 1;
  while (write(wake_.Get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
  thread_.join();
}

bool ViccListener::Open(std::uint16_t port) {
  wake_ = vicc::UniqueFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  listen_ = vicc::UniqueFd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!wake_ || !listen_) {
    error_ = std::strerror(errno);
    return false;
  }
  const int on = 1;
  setsockopt(listen_.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (bind(listen_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 ||
      listen(listen_.Get(), 1) < 0 ||
      getsockname(listen_.Get(), reinterpret_cast<sockaddr*>(&address), &size) < 0) {
    error_ = std::string("127.0.0.1:") + std::to_string(port) + ": " + std::strerror(errno);
    listen_.Reset();
    return false;
  }
  port_ = ntohs(address.sin_port);
  return true;
}

ViccStats ViccListener::Stats() const {
  std::lock_guard lock(mu_);
  return stats_;
}

bool ViccListener::WaitFor(const std::function<bool(const ViccStats&)>& done,
                           std::chrono::milliseconds bound) const {
  std::unique_lock lock(mu_);
  return changed_.wait_for(lock, bound, [&] { return done(stats_); });
}

void ViccListener::Count(std::uint32_t ViccStats::*counter) {
  {
    std::lock_guard lock(mu_);
    ++(stats_.*counter);
  }
  changed_.notify_all();
}

void ViccListener::Run() {
  while (true) {
    // Only this thread changes connection_, so it can be read here unlocked.
    pollfd fds[3] = {{wake_.Get(), POLLIN, 0}, {listen_.Get(), POLLIN, 0}, {-1, POLLIN, 0}};
    if (connection_) fds[2].fd = connection_->Fd();
    if (poll(fds, 3, -1) < 0 && errno != EINTR) break;
    {
      std::lock_guard lock(mu_);
      if (stopping_) break;
    }
    if (fds[0].revents != 0) {
      std::uint64_t count = 0;
      while (read(wake_.Get(), &count, sizeof count) < 0 && errno == EINTR) {
      }
    }
    if (fds[2].revents != 0 && connection_ && !connection_->StillUsable()) Drop();
    if ((fds[1].revents & POLLIN) != 0) Accept();
  }
  Drop();
}

void ViccListener::Accept() {
  vicc::UniqueFd socket(accept4(listen_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
  if (!socket) return;
  if (connection_ || !vicc::PrepareConnection(socket.Get())) {
    Count(&ViccStats::refused);
    return;  // closing it refuses this vicc; the card in the reader stays
  }
  auto connection = std::make_shared<vicc::ViccConnection>(std::move(socket), replyBound_);
  {
    std::lock_guard lock(mu_);
    if (stopping_) return;
    connection_ = connection;
  }
  const std::optional<Bytes> atr = connection->RequestAtr();
  if (!atr) {
    Drop();
    Count(&ViccStats::refused);
    return;
  }
  auto card = std::make_shared<Card>(vicc::CardConfigForAtr(*atr), connection);
  {
    std::lock_guard lock(mu_);
    card_ = card;
  }
  reader_.InsertCard(card);
  Count(&ViccStats::insertions);
}

void ViccListener::Drop() {
  std::shared_ptr<vicc::ViccConnection> connection;
  std::shared_ptr<Card> card;
  {
    std::lock_guard lock(mu_);
    connection = std::move(connection_);
    card = std::move(card_);
    connection_.reset();
    card_.reset();
  }
  if (!connection) return;
  // Closing waits for an exchange in progress, which holds the reader's
  // mutex: the card is removed only after that, outside the connection's lock.
  connection->Close();
  if (card) {
    reader_.RemoveCard(card);
    Count(&ViccStats::removals);
  }
}

}  // namespace emu
