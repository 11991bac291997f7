// Names of the NTSTATUS values that the driver, the smart-card library and
// the kernel and USB stand-ins complete requests with, as the platform's
// ntstatus.h spells them.
#pragma once

#include <string>

#include "platform/kernel/ntstatus.h"

namespace host {

// "STATUS_IO_TIMEOUT" for 0xC00000B5; nullptr for a value the table lacks.
const char* StatusName(NTSTATUS status);
// The name, or "UNNAMED_STATUS" for a value the table lacks, so that a
// result line always has one word there.
std::string StatusWord(NTSTATUS status);

}  // namespace host
