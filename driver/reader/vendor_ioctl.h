// The vendor control codes' reader function, the frame pass-through and the
// port reset. The codes themselves are public (driver/public/vendor_ioctl.h).
#pragma once

#include "driver/device/device_context.h"
#include "driver/public/vendor_ioctl.h"

// The RDF_IOCTL_VENDOR reader function. Serves the library's current
// request (OsData->CurrentIrp) under ReaderLock, sets its IoStatus.Status
// and IoStatus.Information (0 unless it succeeds) and returns the status:
// - STATUS_INVALID_DEVICE_REQUEST for a code not among the eight;
// - STATUS_INVALID_PARAMETER for a missing buffer, an output too short for
//   the version block or the status bytes, or no parameter byte for
//   0x31201c and 0x312020;
// - STATUS_DEVICE_DATA_ERROR for a descriptor not read, or a reply without
//   its status bytes; STATUS_BUFFER_TOO_SMALL for a descriptor output too short;
// - the status of PassThroughFrame, ResetPortIfDisabled or the reader
//   command otherwise (an error status with information 0).
NTSTATUS NTAPI VendorIoctl(PSMARTCARD_EXTENSION SmartcardExtension);

// Sends a complete reader frame from the application and returns the
// complete reply frame. New generation: address byte 0x12 only; the driver
// writes the check byte; a frame beginning its information field 00 F5
// restarts the reader's firmware, so the set-up sequence follows it. Old
// generation: type 0x10, or a card frame of type 0x50 or 0x51 whose answer
// is collected with the transfer status and result. Returns:
// - STATUS_INVALID_PARAMETER when a pointer is missing, a length is 0, or
//   the frame is not one of those or its length is not the N + 4 its header
//   announces; ExchangeBuffer is not touched then;
// - STATUS_BUFFER_TOO_SMALL when the reply does not fit ReplyCapacity;
// - AwaitTransferResult's failures for old-generation card frames;
// - otherwise the exchange's status (STATUS_TIMEOUT with a partial reply).
NTSTATUS PassThroughFrame(PDEVICE_OBJECT DeviceObject, const UCHAR* Frame, ULONG FrameLength, PUCHAR Reply,
                          ULONG ReplyCapacity, ULONG_PTR* Information);

// Resets the reader's USB port when the bus driver reports it connected
// but not enabled; otherwise returns the port-status request's status.
NTSTATUS ResetPortIfDisabled(PDEVICE_OBJECT DeviceObject);
