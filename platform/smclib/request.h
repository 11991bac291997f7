// What the library's request handling shares between its files: the
// decoded request and the pieces that answer it.
#pragma once

#include "platform/smclib/library.h"

namespace smclib::detail {

// A buffered device-control request as it reached the library: input and
// output share the system buffer.
struct Request {
  PIRP irp;
  ULONG code;
  PUCHAR buffer;
  ULONG inputLength;
  ULONG outputLength;
};

// Completes with no priority boost and returns the status. Refused requests
// carry information 0.
NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information);

// IOCTL_SMARTCARD_IS_PRESENT and IOCTL_SMARTCARD_IS_ABSENT.
NTSTATUS ServeTrackingRequest(PSMARTCARD_EXTENSION SmartcardExtension, const Request& request);

// The value of one attribute tag, written to `out` when it fits:
// STATUS_SUCCESS with the byte count; STATUS_BUFFER_TOO_SMALL;
// STATUS_NOT_SUPPORTED for a tag the library does not answer;
// STATUS_NO_MEDIA for the ATR while no card is present;
// STATUS_INVALID_DEVICE_STATE when the extension holds a length past its field.
NTSTATUS ReadAttribute(const SMARTCARD_EXTENSION& extension, ULONG tag, PUCHAR out, ULONG outLength,
                       ULONG* information);

}  // namespace smclib::detail
