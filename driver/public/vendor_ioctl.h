// The driver's own control codes, for applications and for the hosts that
// load the driver: function numbers 2049 to 2056 of the smart-card device
// type, METHOD_BUFFERED, FILE_ANY_ACCESS. Input and output share the
// request's system buffer.
#pragma once

#include "platform/smclib/winsmcrd.h"

constexpr ULONG VendorFunctionFirst = 2049;
constexpr ULONG VendorFunctionLast = 2056;

constexpr ULONG IOCTL_VENDOR_GET_DEVICE_DESCRIPTOR = SCARD_CTL_CODE(2049);
constexpr ULONG IOCTL_VENDOR_GET_CONFIG_DESCRIPTOR = SCARD_CTL_CODE(2050);
constexpr ULONG IOCTL_VENDOR_RESET_PORT = SCARD_CTL_CODE(2051);
constexpr ULONG IOCTL_VENDOR_PASS_THROUGH = SCARD_CTL_CODE(2052);
constexpr ULONG IOCTL_VENDOR_GET_VERSION = SCARD_CTL_CODE(2053);
constexpr ULONG IOCTL_VENDOR_EJECT = SCARD_CTL_CODE(2054);
constexpr ULONG IOCTL_VENDOR_COMMAND_B0 = SCARD_CTL_CODE(2055);
constexpr ULONG IOCTL_VENDOR_COMMAND_D8 = SCARD_CTL_CODE(2056);

static_assert(IOCTL_VENDOR_GET_DEVICE_DESCRIPTOR == SCARD_CTL_CODE(VendorFunctionFirst) &&
              IOCTL_VENDOR_COMMAND_D8 == SCARD_CTL_CODE(VendorFunctionLast));
static_assert(IOCTL_VENDOR_GET_DEVICE_DESCRIPTOR == 0x312004 && IOCTL_VENDOR_COMMAND_D8 == 0x312020);

// One of the eight: the codes of the range are every fourth value.
constexpr bool IsVendorControlCode(ULONG IoControlCode) {
  return IoControlCode >= IOCTL_VENDOR_GET_DEVICE_DESCRIPTOR && IoControlCode <= IOCTL_VENDOR_COMMAND_D8 &&
         (IoControlCode & 3) == 0;
}

// Output sizes.
constexpr ULONG VendorVersionBlockLength = 8;
constexpr ULONG VendorStatusBytesLength = 2;
constexpr ULONG VendorConfigDescriptorLength = 9;

// Pass-through frames longer than this are refused; old-generation card
// frames may be longer, up to PassThroughCardFrameMax.
constexpr ULONG PassThroughFrameMax = 250;
constexpr ULONG PassThroughCardFrameMax = 0x10020;
