#include "ifd/card_control.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/emulated_cards.h"
#include "host/fault_parser.h"
#include "ifd/log.h"

namespace ifd {

CardControl::CardControl(std::shared_ptr<emu::Reader> reader, host::FaultInjector& faults, std::string path)
    : reader_(std::move(reader)), faults_(faults), path_(std::move(path)) {
  if (mkfifo(path_.c_str(), 0600) == 0) {
    created_ = true;
  } else if (errno != EEXIST) {
    log::Error("control FIFO " + path_ + ": " + std::strerror(errno));
    return;
  }
  if (!OpenFifo()) {
    if (created_) unlink(path_.c_str());
    created_ = false;
    return;
  }
  if (pipe2(stop_, O_CLOEXEC) != 0) {
    log::Error(std::string("control FIFO: no pipe: ") + std::strerror(errno));
    close(fifo_);
    fifo_ = -1;
    return;
  }
  thread_ = std::thread([this] { Listen(); });
}

CardControl::~CardControl() {
  if (thread_.joinable()) {
    const char stop = 's';
    if (write(stop_[1], &stop, 1) != 1) log::Error("control FIFO: could not wake the listener");
    thread_.join();
  }
  for (int fd : {fifo_, stop_[0], stop_[1]}) {
    if (fd >= 0) close(fd);
  }
  if (created_) unlink(path_.c_str());
}

bool CardControl::OpenFifo() {
  // pcscd runs as root: read only, and never through a link planted where
  // the FIFO should be, nor from anything that is not a FIFO (a regular file
  // reads as end of file for ever). Non-blocking, so that the open does not
  // wait for a writer.
  const int fd = open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    log::Error("control FIFO " + path_ + ": " + (errno == ELOOP ? "a symbolic link, refused" : std::strerror(errno)));
    return false;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISFIFO(info.st_mode)) {
    log::Error("control FIFO " + path_ + ": not a FIFO, refused; the reader goes on without it");
    close(fd);
    return false;
  }
  fifo_ = fd;
  return true;
}

void CardControl::Listen() {
  std::string pending;
  for (;;) {
    pollfd fds[2] = {{fifo_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      log::Error(std::string("control FIFO: poll: ") + std::strerror(errno));
      return;
    }
    if (fds[1].revents != 0) return;
    char buffer[256];
    const ssize_t got = read(fifo_, buffer, sizeof buffer);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (got <= 0) {
      // The last writer went: the FIFO reads as end of file until it is
      // opened again, which waits for the next writer without polling.
      close(fifo_);
      fifo_ = -1;
      if (!OpenFifo()) return;
      pending.clear();
      continue;
    }
    pending.append(buffer, static_cast<std::size_t>(got));
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
      Apply(pending.substr(0, end));
      pending.erase(0, end + 1);
    }
    // A line without its end that fills the buffer is not a command.
    if (pending.size() > 1024) pending.clear();
  }
}

void CardControl::Apply(const std::string& line) {
  if (line == "remove") {
    reader_->RemoveCard();
  } else if (line == "insert" || line == "insert t1") {
    reader_->InsertCard(host::MakeCard(host::CardKind::T1));
  } else if (line == "insert t0") {
    reader_->InsertCard(host::MakeCard(host::CardKind::T0));
  } else if (line.starts_with("card fault") || line.starts_with("reader fault")) {
    ApplyFault(line);
    return;
  } else {
    log::Error("control FIFO " + path_ + ": unknown command \"" + line +
               "\" (insert [t1|t0], remove, card fault ..., reader fault ...)");
    return;
  }
  log::Info("control FIFO " + path_ + ": " + line);
}

void CardControl::ApplyFault(const std::string& line) {
  std::string error;
  std::optional<host::FaultRequest> fault = host::ParseFaultLine(line, &error);
  if (fault && faults_.Apply(*fault, &error)) {
    log::Info("control FIFO " + path_ + ": " + line);
  } else {
    log::Error("control FIFO " + path_ + ": " + error);
  }
}

}  // namespace ifd
