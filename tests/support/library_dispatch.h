// Device control as the test benches route it: to the smart-card library
// under its remove lock, the way the driver's gate does once the card state
// is known (the benches do not wait for the presence poll).
#pragma once

#include "kernel/wdm.h"

namespace readertest {

NTSTATUS DispatchThroughLibrary(PDEVICE_OBJECT device, PIRP irp);

}  // namespace readertest
