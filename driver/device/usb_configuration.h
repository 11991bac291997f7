// What the driver says to the USB bus driver about the device as a whole:
// the device and configuration descriptors, the selection of the first
// interface with its pipes, the return to the unconfigured state, and the
// abort of pipes opened by name. Every URB goes down through SubmitUrbSync
// without a time limit, is built in pool memory and freed before the call
// returns. All of these block: PASSIVE_LEVEL, on the Plug and Play thread.
#pragma once

#include "platform/kernel/wdm.h"
#include "platform/usb/usb.h"

// The first read of the configuration descriptor asks for this much: the
// descriptor's own 9 bytes and room for 512 more.
constexpr ULONG ConfigurationDescriptorFirstRead = sizeof(USB_CONFIGURATION_DESCRIPTOR) + 512;

// Reads the 18-byte device descriptor into DeviceDescriptor. Returns
// STATUS_INSUFFICIENT_RESOURCES, STATUS_DEVICE_DATA_ERROR when the device
// sent less than a whole device descriptor, or the bus driver's status.
NTSTATUS ReadDeviceDescriptor(PDEVICE_OBJECT DeviceObject);

// Reads the whole configuration descriptor into ConfigurationDescriptor (a
// second time at wTotalLength bytes when the first read was too short) and
// selects it. Returns STATUS_SUCCESS at once, selecting nothing, when
// ConfigurationDescriptor is already present. Otherwise:
// - the bus driver's status when a read fails;
// - STATUS_DEVICE_DATA_ERROR when the device sends nothing, something that
//   is not a configuration descriptor, fewer bytes than its wTotalLength, or
//   a longer descriptor on the second read than on the first;
// - STATUS_INSUFFICIENT_RESOURCES;
// - else SelectConfiguration's status.
// After a failure ConfigurationDescriptor is absent, unless the selection
// failed: then the descriptor is kept for the next start.
NTSTATUS ReadConfigurationDescriptor(PDEVICE_OBJECT DeviceObject);

// Selects the configuration with its first interface, asking MaxTransferSize
// for every pipe, and keeps a copy of the interface record, with every pipe
// handle, in InterfaceInformation. PipeOpenFlags gets one byte per pipe; when
// a configuration is selected again with the same number of pipes the marks
// of pipes opened by name are kept. A selection again writes the new record
// into the block of the first copy, so that the FsContext of a pipe handle
// kept open across a stop points at its pipe's new entry. Returns:
// - STATUS_INSUFFICIENT_RESOURCES when no request can be built, the
//   descriptor holds no interface, or pool runs out (also for the copy after
//   a selection that succeeded);
// - STATUS_DEVICE_DATA_ERROR when the bus driver hands back an interface
//   record with another number of pipes or length than it was given, or
//   another length than the copy kept from the first selection;
// - the bus driver's status. After every failure InterfaceInformation is
//   absent or, when kept from an earlier selection, describes no pipe.
NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor);

// Returns the device to the unconfigured state. Descriptors, interface copy
// and pipe marks stay. STATUS_INSUFFICIENT_RESOURCES or the bus driver's status.
NTSTATUS DeconfigureDevice(PDEVICE_OBJECT DeviceObject);

// Aborts, in pipe order, every pipe marked open by name and clears its mark.
// STATUS_SUCCESS when nothing is open or there is no interface; otherwise
// the first failure at once (STATUS_INSUFFICIENT_RESOURCES or the bus
// driver's status), leaving later pipes marked.
NTSTATUS AbortOpenPipes(PDEVICE_OBJECT DeviceObject);
