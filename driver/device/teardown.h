// What removal and a failed AddDevice share to take a device down.
#pragma once

#include "driver/device/device_context.h"

// Removal waits this many 1 ms steps for the poll's work items before it
// takes ReaderLock and marks the device removed.
constexpr ULONG PollWorkItemWaitSteps = 30000;

// Waits in 1 ms steps, at most MaxSteps of them, until no poll work item is
// queued or running. Returns whether none is.
BOOLEAN WaitForPollWorkItems(DeviceContext* Context, ULONG MaxSteps);

// ReleaseDeviceResources without giving back a unit number: for a device
// whose creation failed before it took one.
void FreeDeviceResources(PDEVICE_OBJECT DeviceObject);

// The end of a device whose poll is stopped: waits until its last work
// item has finished (however long that takes, so nothing is freed under
// it), releases its resources, detaches it and deletes the device object.
void DeleteReaderDevice(PDEVICE_OBJECT DeviceObject);
