// The power manager as a host drives it: system power transitions delivered
// to the top of a device's stack and waited for. Device power requests that
// a driver asks for with PoRequestPowerIrp go down the same stack; the bus
// driver at the bottom completes or fails them.
#pragma once

#include "platform/kernel/platform.h"

namespace kernel {

// IRP_MN_QUERY_POWER for a system state: may the system go there.
NTSTATUS QuerySystemPower(PDEVICE_OBJECT device, SYSTEM_POWER_STATE state);
// IRP_MN_SET_POWER for a system state, with the shutdown type the platform
// gives sleep (S1-S3), hibernation (S4), shutdown (S5) and resume (S0).
NTSTATUS SetSystemPower(PDEVICE_OBJECT device, SYSTEM_POWER_STATE state);
// A system sleep as the platform runs it: the query, then the transition.
// Returns the query's failure without setting anything.
NTSTATUS SleepSystem(PDEVICE_OBJECT device, SYSTEM_POWER_STATE state);
// Back to the working state (S0).
NTSTATUS ResumeSystem(PDEVICE_OBJECT device);

}  // namespace kernel
