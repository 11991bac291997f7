// What the world around the driver relies on: the entry that loads it, the
// tag of every pool block it allocates, and the identity of the deliverable
// built. Hosts that play the I/O manager include this and vendor_ioctl.h,
// nothing else of the driver.
#pragma once

#include "driver/models/model.h"
#include "platform/kernel/wdm.h"

// Every pool block the driver allocates carries the tag "TQM9". The
// platform reads a tag as four characters in memory order, 'T' first.
constexpr ULONG DriverPoolTag = 'T' | ('Q' << 8) | ('M' << 16) | ('9' << 24);

// Fills the dispatch table (create, close, cleanup, device control, system
// control, power, Plug and Play), names AddDevice and the unload routine,
// and resets the reader unit counter. Always STATUS_SUCCESS.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
