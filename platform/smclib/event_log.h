// The system event log as the smart-card library's SmartcardLogError fills
// it, readable by tests and tools.
#pragma once

#include <vector>

#include "platform/kernel/ntdef.h"

namespace smclib {

struct EventLogEntry {
  PVOID object;  // the device or driver object the entry is logged against
  NTSTATUS code;
};

// Every entry written since the process started or the log was last cleared, oldest first.
std::vector<EventLogEntry> EventLog();
void ClearEventLog();

}  // namespace smclib
