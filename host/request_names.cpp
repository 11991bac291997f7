#include "host/request_names.h"

#include <cctype>
#include <cstdio>

#include "driver/public/vendor_ioctl.h"
#include "platform/smclib/winsmcrd.h"

namespace host {
namespace {

template <typename Value>
struct Named {
  Value value;
  const char* name;
};

#define HOST_NAMED(name) \
  { name, #name }

constexpr Named<ULONG> kControlCodes[] = {
    HOST_NAMED(IOCTL_SMARTCARD_POWER),
    HOST_NAMED(IOCTL_SMARTCARD_GET_ATTRIBUTE),
    HOST_NAMED(IOCTL_SMARTCARD_SET_ATTRIBUTE),
    HOST_NAMED(IOCTL_SMARTCARD_CONFISCATE),
    HOST_NAMED(IOCTL_SMARTCARD_TRANSMIT),
    HOST_NAMED(IOCTL_SMARTCARD_EJECT),
    HOST_NAMED(IOCTL_SMARTCARD_SWALLOW),
    HOST_NAMED(IOCTL_SMARTCARD_IS_PRESENT),
    HOST_NAMED(IOCTL_SMARTCARD_IS_ABSENT),
    HOST_NAMED(IOCTL_SMARTCARD_SET_PROTOCOL),
    HOST_NAMED(IOCTL_SMARTCARD_GET_STATE),
    HOST_NAMED(IOCTL_SMARTCARD_GET_LAST_ERROR),
    HOST_NAMED(IOCTL_SMARTCARD_GET_PERF_CNTR),
    HOST_NAMED(IOCTL_VENDOR_GET_DEVICE_DESCRIPTOR),
    HOST_NAMED(IOCTL_VENDOR_GET_CONFIG_DESCRIPTOR),
    HOST_NAMED(IOCTL_VENDOR_RESET_PORT),
    HOST_NAMED(IOCTL_VENDOR_PASS_THROUGH),
    HOST_NAMED(IOCTL_VENDOR_GET_VERSION),
    HOST_NAMED(IOCTL_VENDOR_EJECT),
    HOST_NAMED(IOCTL_VENDOR_COMMAND_B0),
    HOST_NAMED(IOCTL_VENDOR_COMMAND_D8),
};

constexpr ULONG kServedCodes[] = {
    IOCTL_SMARTCARD_POWER,
    IOCTL_SMARTCARD_GET_ATTRIBUTE,
    IOCTL_SMARTCARD_SET_ATTRIBUTE,
    IOCTL_SMARTCARD_CONFISCATE,
    IOCTL_SMARTCARD_TRANSMIT,
    IOCTL_SMARTCARD_EJECT,
    IOCTL_SMARTCARD_SWALLOW,
    IOCTL_SMARTCARD_IS_PRESENT,
    IOCTL_SMARTCARD_IS_ABSENT,
    IOCTL_SMARTCARD_SET_PROTOCOL,
    IOCTL_SMARTCARD_GET_STATE,
    IOCTL_SMARTCARD_GET_LAST_ERROR,
    IOCTL_SMARTCARD_GET_PERF_CNTR,
    IOCTL_VENDOR_GET_DEVICE_DESCRIPTOR,
    IOCTL_VENDOR_GET_CONFIG_DESCRIPTOR,
    IOCTL_VENDOR_RESET_PORT,
    IOCTL_VENDOR_PASS_THROUGH,
    IOCTL_VENDOR_GET_VERSION,
    IOCTL_VENDOR_EJECT,
    IOCTL_VENDOR_COMMAND_B0,
    IOCTL_VENDOR_COMMAND_D8,
};

constexpr Named<ULONG> kAttributes[] = {
    HOST_NAMED(SCARD_ATTR_VENDOR_NAME),
    HOST_NAMED(SCARD_ATTR_VENDOR_IFD_TYPE),
    HOST_NAMED(SCARD_ATTR_VENDOR_IFD_VERSION),
    HOST_NAMED(SCARD_ATTR_VENDOR_IFD_SERIAL_NO),
    HOST_NAMED(SCARD_ATTR_CHANNEL_ID),
    HOST_NAMED(SCARD_ATTR_PROTOCOL_TYPES),
    HOST_NAMED(SCARD_ATTR_DEFAULT_CLK),
    HOST_NAMED(SCARD_ATTR_MAX_CLK),
    HOST_NAMED(SCARD_ATTR_DEFAULT_DATA_RATE),
    HOST_NAMED(SCARD_ATTR_MAX_DATA_RATE),
    HOST_NAMED(SCARD_ATTR_MAX_IFSD),
    HOST_NAMED(SCARD_ATTR_POWER_MGMT_SUPPORT),
    HOST_NAMED(SCARD_ATTR_CHARACTERISTICS),
    HOST_NAMED(SCARD_ATTR_MAXINPUT),
    HOST_NAMED(SCARD_ATTR_CURRENT_PROTOCOL_TYPE),
    HOST_NAMED(SCARD_ATTR_CURRENT_N),
    HOST_NAMED(SCARD_ATTR_CURRENT_IFSC),
    HOST_NAMED(SCARD_ATTR_CURRENT_IFSD),
    HOST_NAMED(SCARD_ATTR_ICC_PRESENCE),
    HOST_NAMED(SCARD_ATTR_ICC_INTERFACE_STATUS),
    HOST_NAMED(SCARD_ATTR_ATR_STRING),
    HOST_NAMED(SCARD_ATTR_DEVICE_UNIT),
};

constexpr Named<UCHAR> kPnpMinors[] = {
    HOST_NAMED(IRP_MN_START_DEVICE),
    HOST_NAMED(IRP_MN_QUERY_REMOVE_DEVICE),
    HOST_NAMED(IRP_MN_REMOVE_DEVICE),
    HOST_NAMED(IRP_MN_CANCEL_REMOVE_DEVICE),
    HOST_NAMED(IRP_MN_STOP_DEVICE),
    HOST_NAMED(IRP_MN_QUERY_STOP_DEVICE),
    HOST_NAMED(IRP_MN_CANCEL_STOP_DEVICE),
    HOST_NAMED(IRP_MN_QUERY_DEVICE_RELATIONS),
    HOST_NAMED(IRP_MN_QUERY_INTERFACE),
    HOST_NAMED(IRP_MN_QUERY_CAPABILITIES),
    HOST_NAMED(IRP_MN_QUERY_PNP_DEVICE_STATE),
    HOST_NAMED(IRP_MN_SURPRISE_REMOVAL),
};

constexpr Named<UCHAR> kPowerMinors[] = {
    HOST_NAMED(IRP_MN_WAIT_WAKE),
    HOST_NAMED(IRP_MN_POWER_SEQUENCE),
    HOST_NAMED(IRP_MN_SET_POWER),
    HOST_NAMED(IRP_MN_QUERY_POWER),
};

constexpr Named<ULONG> kCardStates[] = {
    HOST_NAMED(SCARD_UNKNOWN), HOST_NAMED(SCARD_ABSENT),     HOST_NAMED(SCARD_PRESENT),  HOST_NAMED(SCARD_SWALLOWED),
    HOST_NAMED(SCARD_POWERED), HOST_NAMED(SCARD_NEGOTIABLE), HOST_NAMED(SCARD_SPECIFIC),
};

#undef HOST_NAMED

// Upper case, '-' read as '_': how names are compared.
std::string Folded(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) {
    c = c == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return folded;
}

template <typename Value, std::size_t N>
const char* NameIn(const Named<Value> (&table)[N], Value value) {
  for (const Named<Value>& entry : table) {
    if (entry.value == value) return entry.name;
  }
  return nullptr;
}

std::string MinorName(const char* name, UCHAR minor) {
  if (name != nullptr) return name;
  char text[16];
  std::snprintf(text, sizeof text, "IRP_MN_0x%02X", minor);
  return text;
}

}  // namespace

const char* ControlCodeName(ULONG code) { return NameIn(kControlCodes, code); }

std::optional<ULONG> ControlCodeByName(std::string_view name) {
  const std::string folded = Folded(name);
  for (const Named<ULONG>& entry : kControlCodes) {
    if (folded == entry.name) return entry.value;
  }
  return std::nullopt;
}

std::span<const ULONG> ServedControlCodes() { return kServedCodes; }

const char* AttributeName(ULONG tag) { return NameIn(kAttributes, tag); }

std::optional<ULONG> AttributeByName(std::string_view name) {
  std::string folded = Folded(name);
  static constexpr std::string_view kPrefix = "SCARD_ATTR_";
  if (folded.rfind(kPrefix, 0) != 0) folded.insert(0, kPrefix);
  for (const Named<ULONG>& entry : kAttributes) {
    if (folded == entry.name) return entry.value;
  }
  return std::nullopt;
}

std::string PnpMinorName(UCHAR minor) { return MinorName(NameIn(kPnpMinors, minor), minor); }

std::string PowerMinorName(UCHAR minor) { return MinorName(NameIn(kPowerMinors, minor), minor); }

std::string SystemStateName(SYSTEM_POWER_STATE state) {
  if (state >= PowerSystemWorking && state <= PowerSystemShutdown) {
    return "S" + std::to_string(static_cast<int>(state) - static_cast<int>(PowerSystemWorking));
  }
  return "S?";
}

const char* CardStateName(ULONG state) {
  const char* name = NameIn(kCardStates, state);
  return name != nullptr ? name : "unknown card state";
}

}  // namespace host
