// Device creation: one device object per reader the bus driver reports, with
// its DeviceContext, buffers, identity, capabilities and reader functions,
// registered with the smart-card library and as a (disabled) reader
// interface, attached to the stack and counted, its presence poll armed.
// The USB device itself is not touched until IRP_MN_START_DEVICE.
#pragma once

#include "platform/kernel/wdm.h"

// The add-device routine of the driver extension. Returns CreateReaderDevice's
// failure, STATUS_UNSUCCESSFUL when the device cannot be attached, else
// STATUS_SUCCESS. A device that fails here leaves nothing behind: its
// buffers, the library's data, its interface name and unit number are given
// back and the device object is deleted.
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);

// Creates and fills the device. Returns IoRegisterDeviceInterface's status
// when everything before it succeeded, else the first failure:
// IoCreateDevice's status or SmartcardInitialize's (both logged 0xC0100003
// against the driver object), or STATUS_INSUFFICIENT_RESOURCES (logged the
// same) when a buffer cannot be allocated. On failure *DeviceObject is null
// and nothing stays allocated; on success the unit number is taken and the
// presence poll armed.
NTSTATUS CreateReaderDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                            PDEVICE_OBJECT* DeviceObject);

// Asks the bus driver, at the physical device object itself, for the device
// capabilities and waits for the answer. Returns the request's final status,
// or STATUS_INSUFFICIENT_RESOURCES when no request can be allocated.
NTSTATUS QueryDeviceCapabilities(PDEVICE_OBJECT PhysicalDeviceObject, PDEVICE_CAPABILITIES Capabilities);

// A completion routine that signals the event Context points to and keeps
// the request (STATUS_MORE_PROCESSING_REQUIRED) for the thread waiting on it.
NTSTATUS NTAPI ForwardAndWaitComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
