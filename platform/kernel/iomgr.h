// The I/O manager's private bookkeeping, shared by its source files.
#pragma once

#include <functional>

#include "platform/kernel/scheduler.h"

// The platform's per-device extension, reached through DeviceObjectExtension.
struct DEVOBJ_EXTENSION {
  PDEVICE_OBJECT DeviceObject;
  PDEVICE_OBJECT AttachedTo;  // the device this one is attached to
  bool Exclusive;
  LONG OpenCount;  // handles open on the stack this device is the bottom of
  kernel::DevicePowerRecord Power;
};

namespace kernel::detail {

enum class IrpKind {
  Driver,    // IoAllocateIrp: its owner frees it after STATUS_MORE_PROCESSING_REQUIRED
  Threaded,  // IoBuildDeviceIoControlRequest: the I/O manager finishes and frees it
  User,      // a host request: the I/O manager hands the result to the host and frees it
};

enum class IrpState { Allocated, InProgress, Completing, Reclaimed, Completed, Freed };

// The last step of a user request, after the completion routines: the host side's own.
using UserCompletion = std::function<void(PIRP)>;

void RegisterIrp(PIRP irp, IrpKind kind);
void SetUserCompletion(PIRP irp, UserCompletion completion);
IrpState StateOf(const IRP* irp);
// Frees without the checks a driver's IoFreeIrp gets.
void FreeIrpInternal(PIRP irp);
// Does a request not yet completed still sit with this device.
bool IsHeldBy(PDEVICE_OBJECT device);
bool IsLiveDevice(PDEVICE_OBJECT device);

}  // namespace kernel::detail
