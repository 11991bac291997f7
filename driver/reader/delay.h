// The pause every waiting loop of the driver takes.
#pragma once

#include "platform/kernel/wdm.h"

// Sleeps below DISPATCH_LEVEL; at or above it, busy-waits in 50 us stalls.
// DelayMilliseconds(0) returns at once.
void DelayMilliseconds(ULONG Milliseconds);
