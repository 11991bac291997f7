// Names of what the host sends: the smart-card and vendor control codes,
// the attribute tags of IOCTL_SMARTCARD_GET_ATTRIBUTE, and the Plug and Play
// and power minor functions, spelled as the platform spells them.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/kernel/wdm.h"

namespace host {

// "IOCTL_SMARTCARD_TRANSMIT", "IOCTL_VENDOR_GET_VERSION"; nullptr if unknown.
const char* ControlCodeName(ULONG code);
// A control code by its platform name, in any case.
std::optional<ULONG> ControlCodeByName(std::string_view name);
// The 13 standard codes and the 8 vendor codes, in code order.
std::span<const ULONG> ServedControlCodes();

// "SCARD_ATTR_VENDOR_NAME"; nullptr if unknown.
const char* AttributeName(ULONG tag);
// An attribute tag by its platform name with or without the SCARD_ATTR_
// prefix, in any case, '-' standing for '_': "ATR_STRING", "vendor-name".
std::optional<ULONG> AttributeByName(std::string_view name);

// "IRP_MN_QUERY_STOP_DEVICE"; "IRP_MN_0x42" for a minor function without a name.
std::string PnpMinorName(UCHAR minor);
// "IRP_MN_SET_POWER".
std::string PowerMinorName(UCHAR minor);
// "S3" for PowerSystemSleeping3, "S0" for the working state.
std::string SystemStateName(SYSTEM_POWER_STATE state);
// "SCARD_SPECIFIC" for 6; "unknown card state" beyond the platform's values.
const char* CardStateName(ULONG state);

}  // namespace host
