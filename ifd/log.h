// The handler's log, in pcscd's manner: one line a message, to standard
// error (what `pcscd -f` shows) or to syslog (daemon facility). Errors are
// always written; channel life and the last-close checks only when a
// reader.conf entry asked for verbose=1, frames only for trace=1 entries.
#pragma once

#include <string>

#include "ifd/device_name.h"

namespace ifd::log {

// The destination and verbosity are the process's: the last entry that set
// them wins, and verbose stays on once any entry asked for it.
void Configure(LogTarget target, bool verbose);
bool Verbose();

void Error(const std::string& message);
void Info(const std::string& message);
// A trace line: written whatever the verbosity (the caller decides).
void Trace(const std::string& message);

}  // namespace ifd::log
