// The narrated demo: one whole session of the deliverable's driver on the
// emulated reader, told in readable lines with the time of each step, then
// a one-line summary. Every step shows the status the driver returned; the
// demo stops at the first step that does not end as a working driver ends it.
#pragma once

#include <memory>
#include <ostream>
#include <string>

#include "host/emulated_cards.h"
#include "platform/kernel/platform.h"
#include "platform/usb/capture.h"

namespace host {

struct DemoOptions {
  kernel::ClockMode clock = kernel::ClockMode::Real;
  bool trace = false;
  std::string firmware = kDefaultFirmware;
  std::shared_ptr<usb::Capture> capture;  // the reader's USB requests go there too
};

struct DemoOutcome {
  bool ok = true;
  std::string error;  // one line: the step that failed and how
};

// The story goes to `out`; with tracing on, the trace goes to `trace`.
DemoOutcome RunDemo(const DemoOptions& options, std::ostream& out, std::ostream& trace);

}  // namespace host
