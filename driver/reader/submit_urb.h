// The driver's one way of sending a USB request block down the stack.
#pragma once

#include "platform/kernel/wdm.h"
#include "platform/usb/usb.h"

// WithTimeout value that bounds the request to 7 seconds; every other value waits without limit.
constexpr UCHAR UrbBounded = 1;
constexpr UCHAR UrbUnbounded = 0;

// Sends the URB to AttachedDeviceObject as IOCTL_INTERNAL_USB_SUBMIT_URB
// and returns once the bus driver has finished with it, so the caller may
// free the URB at once. Returns:
// - the request's final status (the URB's transfer length then holds what
//   the bus driver moved when it is not an error);
// - STATUS_TIMEOUT (a success-class status) when WithTimeout is UrbBounded
//   and 7 seconds passed: the request was cancelled and has come back;
// - STATUS_INSUFFICIENT_RESOURCES when no request could be built.
// Must be called at PASSIVE_LEVEL.
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb, UCHAR WithTimeout);
