#include "ifd/device_name.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "host/fault_parser.h"

namespace ifd {
namespace {

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

// "M.mm": one digit, a dot, two hexadecimal digits (the reader's own format).
bool ValidFirmware(std::string_view value) {
  return value.size() == 4 && std::isdigit(static_cast<unsigned char>(value[0])) && value[1] == '.' &&
         std::isxdigit(static_cast<unsigned char>(value[2])) && std::isxdigit(static_cast<unsigned char>(value[3]));
}

bool ParsePort(std::string_view value, std::uint16_t* port) {
  if (value.empty() || value.size() > 5) return false;
  unsigned long number = 0;
  for (char c : value) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    number = number * 10 + static_cast<unsigned long>(c - '0');
  }
  if (number == 0 || number > 65535) return false;
  *port = static_cast<std::uint16_t>(number);
  return true;
}

bool ParseFlag(std::string_view value, bool* flag) {
  if (value != "0" && value != "1") return false;
  *flag = value == "1";
  return true;
}

bool ParseDecimal(std::string_view text, unsigned long max, unsigned long* value) {
  if (text.empty() || text.size() > 3) return false;
  unsigned long number = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    number = number * 10 + static_cast<unsigned long>(c - '0');
  }
  if (number > max) return false;
  *value = number;
  return true;
}

// The names pcscd's USB hot-plug gives (hotplug_libudev.c and hotplug_libusb.c
// of pcsc-lite 1.9), and the plain ids.
std::optional<usb::DeviceMatch> ParseUsbName(std::string_view name, std::string* error) {
  const std::vector<std::string_view> parts = Split(name, ':');
  std::string ids(parts.size() > 1 ? parts[1] : "");
  if (ids.size() == 9 && ids[4] == '/') ids[4] = ':';
  std::optional<usb::DeviceMatch> match = ids.size() == 9 ? usb::ParseDeviceMatch(ids, error) : std::nullopt;
  unsigned long bus = 0;
  unsigned long address = 0;
  unsigned long interface = 0;
  bool placed = parts.size() == 2;
  if (parts.size() == 5 && parts[2] == "libudev") {
    // The device node: /dev/bus/usb/BBB/DDD.
    const std::vector<std::string_view> node = Split(parts[4], '/');
    placed = ParseDecimal(parts[3], 255, &interface) && node.size() == 6 && node[0].empty() && node[1] == "dev" &&
             node[2] == "bus" && node[3] == "usb" && ParseDecimal(node[4], 255, &bus) &&
             ParseDecimal(node[5], 255, &address);
  } else if (parts.size() == 6 && parts[2] == "libusb-1.0") {
    placed = ParseDecimal(parts[3], 255, &bus) && ParseDecimal(parts[4], 255, &address) &&
             ParseDecimal(parts[5], 255, &interface);
  }
  if (!match || !placed || (parts.size() > 2 && (bus == 0 || address == 0))) {
    *error = "DEVICENAME \"" + std::string(name) +
             "\" is not a USB device name (usb:VVVV/PPPP, usb:VVVV/PPPP:libudev:I:/dev/bus/usb/BBB/DDD or "
             "usb:VVVV/PPPP:libusb-1.0:B:D:I)";
    return std::nullopt;
  }
  if (interface != 0) {
    *error = "DEVICENAME \"" + std::string(name) + "\": this reader has interface 0 only";
    return std::nullopt;
  }
  if (parts.size() > 2) {
    match->bus = static_cast<std::uint8_t>(bus);
    match->address = static_cast<std::uint8_t>(address);
  }
  return match;
}

}  // namespace

std::optional<ChannelOptions> ParseDeviceName(const char* name, std::string* error) {
  ChannelOptions options;
  if (name == nullptr || *name == '\0') return options;
  if (std::string_view(name).substr(0, 4) == "usb:") {
    options.device = ParseUsbName(name, error);
    if (!options.device) return std::nullopt;
    return options;
  }
  const std::vector<std::string_view> parts = Split(name, ':');
  if (parts[0] != "emulated") {
    *error = "DEVICENAME \"" + std::string(name) + "\" does not start with \"emulated\" or \"usb:\"";
    return std::nullopt;
  }
  std::vector<std::string_view> seen;
  for (std::size_t i = 1; i < parts.size(); ++i) {
    const std::string_view part = parts[i];
    const std::size_t equals = part.find('=');
    if (equals == std::string_view::npos) {
      *error = "DEVICENAME option \"" + std::string(part) + "\" is not key=value";
      return std::nullopt;
    }
    const std::string_view key = part.substr(0, equals);
    const std::string_view value = part.substr(equals + 1);
    // Which of two values would count is a guess the entry's author should not leave to us.
    if (std::find(seen.begin(), seen.end(), key) != seen.end()) {
      *error = "DEVICENAME option " + std::string(key) + "= is given twice";
      return std::nullopt;
    }
    seen.push_back(key);
    const auto bad = [&](const char* expected) {
      *error = "DEVICENAME option " + std::string(key) + "=" + std::string(value) + ": expected " + expected;
      return std::nullopt;
    };
    if (key == "firmware") {
      if (!ValidFirmware(value)) return bad("M.mm, such as 2.27");
      options.firmware = std::string(value);
    } else if (key == "card") {
      if (value == "t1") {
        options.card = CardChoice::T1;
      } else if (value == "t0") {
        options.card = CardChoice::T0;
      } else if (value == "none") {
        options.card = CardChoice::None;
      } else if (value == "vicc") {
        options.card = CardChoice::Vicc;
      } else {
        return bad("t1, t0, none or vicc");
      }
    } else if (key == "vicc-port") {
      if (!ParsePort(value, &options.viccPort)) return bad("a TCP port, 1 to 65535");
    } else if (key == "timing") {
      if (value != "fast" && value != "real") return bad("fast or real");
      options.realTiming = value == "real";
    } else if (key == "trace") {
      if (!ParseFlag(value, &options.trace)) return bad("0 or 1");
    } else if (key == "verbose") {
      if (!ParseFlag(value, &options.verbose)) return bad("0 or 1");
    } else if (key == "log") {
      if (value == "stderr") {
        options.log = LogTarget::Stderr;
      } else if (value == "syslog") {
        options.log = LogTarget::Syslog;
      } else {
        return bad("stderr or syslog");
      }
    } else if (key == "control") {
      if (value.empty() || value[0] != '/') return bad("an absolute path");
      options.controlPath = std::string(value);
    } else if (key == "pcap") {
      if (value.empty() || value[0] != '/') return bad("an absolute path");
      options.pcapPath = std::string(value);
    } else if (key == "faults") {
      // pcscd refuses blanks and most punctuation in a DEVICENAME: '/' parts the faults, '.' their words.
      for (std::string_view item : Split(value, '/')) {
        std::string line(item);
        std::replace(line.begin(), line.end(), '.', ' ');
        if (const std::size_t blank = line.find(' '); blank != std::string::npos) line.insert(blank, " fault");
        std::string why;
        if (!host::ParseFaultLine(line, &why))
          return bad(("card.KIND... or reader.KIND... parted by /: " + why).c_str());
        options.faults.push_back(std::move(line));
      }
    } else {
      *error = "DEVICENAME option \"" + std::string(key) +
               "\" is unknown (known: firmware, card, vicc-port, timing, trace, verbose, log, control, pcap, faults)";
      return std::nullopt;
    }
  }
  return options;
}

}  // namespace ifd
