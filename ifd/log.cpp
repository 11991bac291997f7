#include "ifd/log.h"

#include <syslog.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "driver/public/driver.h"

namespace ifd::log {
namespace {

std::mutex& Lock() {
  static std::mutex lock;
  return lock;
}
std::atomic<bool> verbose{false};
std::atomic<LogTarget> target{LogTarget::Stderr};

void Write(int priority, const char* level, const std::string& message) {
  std::lock_guard<std::mutex> guard(Lock());
  if (target.load() == LogTarget::Syslog) {
    syslog(LOG_DAEMON | priority, "ifd %s: %s", ModelIdentity.DeliverableName, message.c_str());
    return;
  }
  std::fprintf(stderr, "ifd %s %s: %s\n", ModelIdentity.DeliverableName, level, message.c_str());
  std::fflush(stderr);
}

}  // namespace

void Configure(LogTarget where, bool wantVerbose) {
  target.store(where);
  if (wantVerbose) verbose.store(true);
}

bool Verbose() { return verbose.load(); }

void Error(const std::string& message) { Write(LOG_ERR, "error", message); }

void Info(const std::string& message) {
  if (verbose.load()) Write(LOG_INFO, "info", message);
}

void Trace(const std::string& message) { Write(LOG_DEBUG, "trace", message); }

}  // namespace ifd::log
