#include "host/hex.h"

#include "host/arguments.h"

namespace host {
namespace {

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

constexpr char kDigits[] = "0123456789ABCDEF";

}  // namespace

std::optional<Bytes> ParseHex(std::string_view text, std::size_t maxBytes, std::string* error) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (DigitValue(text[i]) < 0) {
      *error = Quoted(text) + " is not hexadecimal: character " + std::to_string(i + 1) + " is not a digit 0-9 or A-F";
      return std::nullopt;
    }
  }
  if (text.size() % 2 != 0) {
    *error = Quoted(text) + " is not hexadecimal: it has an odd number of digits";
    return std::nullopt;
  }
  if (text.size() / 2 > maxBytes) {
    *error = std::to_string(text.size() / 2) + " bytes of hexadecimal, at most " + std::to_string(maxBytes) +
             " are accepted here";
    return std::nullopt;
  }
  Bytes bytes(text.size() / 2);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(DigitValue(text[2 * i]) * 16 + DigitValue(text[2 * i + 1]));
  }
  return bytes;
}

std::string ToHex(std::span<const std::uint8_t> bytes) {
  std::string text;
  text.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 0x0F];
  }
  return text;
}

std::string ToSpacedHex(std::span<const std::uint8_t> bytes) {
  std::string text;
  text.reserve(bytes.size() * 3);
  for (std::uint8_t b : bytes) {
    if (!text.empty()) text += ' ';
    text += kDigits[b >> 4];
    text += kDigits[b & 0x0F];
  }
  return text;
}

}  // namespace host
