// Taking the waiting tracking request out of its slot, and finishing it:
// what SetCardState, CardTracking, the cancel routine and cleanup share.
#pragma once

#include "driver/device/device_context.h"

// Empties the slot and clears the request's cancel routine, both by atomic
// exchange; with Expected set, only when the slot holds that request.
// Returns the request taken, or null. The caller holds the cancel spin lock.
PIRP TakeTrackingRequestLocked(PSMARTCARD_OS_DATA OsData, PIRP Expected);

// Completes the request with Status, information 0 and no priority boost.
void CompleteTrackingRequest(PIRP Irp, NTSTATUS Status);
