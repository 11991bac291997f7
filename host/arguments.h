// Arguments as scripts and the command line write them: numbers in decimal
// or with a 0x prefix, and quoting of what was written for error messages.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace host {

// "250", "0x310004". Refuses signs, empty text, other characters and values
// above max, with a one-line reason in *error.
std::optional<std::uint64_t> ParseNumber(std::string_view text, std::uint64_t max, std::string* error);

// 'text' in quotes; a long text is shown by its start, so that a message
// that quotes it stays one short line.
std::string Quoted(std::string_view text);

}  // namespace host
