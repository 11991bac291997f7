// I/O accounting: the requests inside the driver, plus the device's own
// reference from AddDevice until removal. Query-remove waits until only that
// reference is left (IoIdleEvent), removal until nothing is (IoDrainedEvent).
// Neither event is ever reset.
#pragma once

#include "platform/kernel/wdm.h"

// Callable at or below DISPATCH_LEVEL.
void IoIncrement(PDEVICE_OBJECT DeviceObject);

// Returns the new count. Sets IoIdleEvent when it falls to 1 and
// IoDrainedEvent when it falls to 0. Callable at or below DISPATCH_LEVEL.
LONG IoDecrement(PDEVICE_OBJECT DeviceObject);
