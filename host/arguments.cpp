#include "host/arguments.h"

namespace host {

std::optional<std::uint64_t> ParseNumber(std::string_view text, std::uint64_t max, std::string* error) {
  std::string_view digits = text;
  unsigned base = 10;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits.remove_prefix(2);
    base = 16;
  }
  if (digits.empty()) {
    *error = "a number is missing";
    return std::nullopt;
  }
  std::uint64_t value = 0;
  for (char c : digits) {
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      *error = Quoted(text) + " is not a number";
      return std::nullopt;
    }
    // Checked before it happens, so that no digit string can wrap around.
    if (digit > max || value > (max - digit) / base) {
      *error = Quoted(text) + " is too large (at most " + std::to_string(max) + ")";
      return std::nullopt;
    }
    value = value * base + digit;
  }
  return value;
}

std::string Quoted(std::string_view text) {
  constexpr std::size_t kShown = 24;
  if (text.size() <= kShown) return "'" + std::string(text) + "'";
  return "'" + std::string(text.substr(0, kShown)) + "...'";
}

}  // namespace host
