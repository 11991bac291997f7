#include "host/host.h"

#include "driver/public/driver.h"

namespace host {
namespace {

std::u16string DriverName() {
  const std::string deliverable = ModelIdentity.DeliverableName;
  return u"\\Driver\\" + std::u16string(deliverable.begin(), deliverable.end());
}

}  // namespace

Host::Host(kernel::ClockMode clock) {
  if (!kernel::PlatformRunning()) platform_.emplace(clock);
  origin_ = kernel::Now();
  driver_ = kernel::LoadDriver(DriverName(), DriverEntry, &entryStatus_);
  journal_.Record("DriverEntry", entryStatus_, 0, JournalKind::Call);
}

Host::~Host() {
  if (driver_ != nullptr) kernel::UnloadDriver(driver_);
}

const char* Host::Deliverable() { return ModelIdentity.DeliverableName; }

LONGLONG Host::Elapsed() const { return kernel::Now() - origin_; }

}  // namespace host
