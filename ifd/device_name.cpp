#include "ifd/device_name.h"

#include <algorithm>
#include <cctype>
#include <vector>

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

}  // namespace

std::optional<ChannelOptions> ParseDeviceName(const char* name, std::string* error) {
  ChannelOptions options;
  if (name == nullptr || *name == '\0') return options;
  const std::vector<std::string_view> parts = Split(name, ':');
  if (parts[0] != "emulated") {
    *error = "DEVICENAME \"" + std::string(name) + "\" does not start with \"emulated\"";
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
    } else {
      *error = "DEVICENAME option \"" + std::string(key) +
               "\" is unknown (known: firmware, card, vicc-port, timing, trace, verbose, log, control)";
      return std::nullopt;
    }
  }
  return options;
}

}  // namespace ifd
