// The host: the platform (real time by default, simulated for tests) with
// the deliverable's driver loaded through its DriverEntry, as the I/O
// manager loads it. Readers are plugged in with PluggedReader and driven by
// the Plug and Play manager, the power manager and the resource manager of
// this folder; the host only keeps what they share.
//
// One host per process at a time (the platform is one). Everything plugged
// must be removed before the host goes.
#pragma once

#include <optional>
#include <string>

#include "host/journal.h"
#include "platform/kernel/platform.h"

namespace host {

class Host {
 public:
  // A platform in `clock` of its own, unless one runs already (a fuzz
  // target's, which every input shares).
  explicit Host(kernel::ClockMode clock = kernel::ClockMode::Real);
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // The driver object, or null when DriverEntry failed.
  PDRIVER_OBJECT Driver() const { return driver_; }
  NTSTATUS EntryStatus() const { return entryStatus_; }
  // "Kt2210p" or "Lm5520p": the deliverable this host was built with.
  static const char* Deliverable();

  kernel::ClockMode Clock() const { return kernel::CurrentClockMode(); }
  // The system time at load; traces count from it.
  LONGLONG Origin() const { return origin_; }
  LONGLONG Elapsed() const;

  Journal& Requests() { return journal_; }

 private:
  std::optional<kernel::Platform> platform_;
  Journal journal_;
  LONGLONG origin_ = 0;
  NTSTATUS entryStatus_ = STATUS_UNSUCCESSFUL;
  PDRIVER_OBJECT driver_ = nullptr;
};

}  // namespace host
