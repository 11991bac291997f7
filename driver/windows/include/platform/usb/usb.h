// The kernel images' USB platform: MinGW-w64's USB headers in place of the
// USB stack stand-in.
#pragma once

#include "platform/kernel/wdm.h"

#include <usb.h>
#include <usbioctl.h>
// usbdlib.h lacks the C linkage its functions have.
extern "C" {
#include <ddk/usbdlib.h>
}

// The sizes the USB stand-in claims for the platform's records.
#include "platform/usb/layout.h"
