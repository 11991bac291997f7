#include <cstdio>

#include "host/script.h"
#include "host/status_names.h"

namespace host {

std::string ResultLine(std::string_view command, NTSTATUS status, std::span<const std::uint8_t> data) {
  char value[16];
  std::snprintf(value, sizeof value, "0x%08X", static_cast<unsigned>(status));
  std::string line = std::string(command) + " -> " + StatusWord(status) + " " + value;
  if (!data.empty()) line += " " + ToHex(data);
  return line;
}

std::string OkLine(std::string_view command) { return std::string(command) + " -> OK"; }

}  // namespace host
