#include "host/script_words.h"

#include "host/script.h"

namespace host {

Words::Words(std::string_view verb, const std::vector<std::string_view>& words) : verb_(verb) {
  for (std::string_view word : words) {
    const std::size_t equals = word.find('=');
    if (equals == std::string_view::npos) {
      positional_.push_back(word);
    } else {
      options_.push_back(Option{word.substr(0, equals), word.substr(equals + 1)});
    }
  }
}

bool Words::Fail(const std::string& message) {
  if (error_.empty()) error_ = verb_ + ": " + message;
  return false;
}

std::string_view Words::At(std::size_t i) const { return i < positional_.size() ? positional_[i] : std::string_view(); }

std::optional<std::string_view> Words::Take(std::string_view key) {
  std::optional<std::string_view> value;
  for (Option& option : options_) {
    if (option.key != key) continue;
    if (value) {
      Fail("option " + std::string(key) + "= is given twice");
      return std::nullopt;
    }
    value = option.value;
    option.used = true;
  }
  return value;
}

bool Words::Finish(std::size_t expected) {
  if (!error_.empty()) return false;
  for (const Option& option : options_) {
    if (!option.used) return Fail("unknown option " + Quoted(std::string(option.key) + "="));
  }
  if (positional_.size() > expected) return Fail("unexpected " + Quoted(positional_[expected]));
  return true;
}

std::optional<std::uint64_t> Words::Number(std::string_view text, std::uint64_t max, const char* what) {
  std::string error;
  std::optional<std::uint64_t> value = ParseNumber(text, max, &error);
  if (!value) Fail(std::string(what) + ": " + error);
  return value;
}

std::optional<Bytes> Words::Hex(std::string_view text, std::size_t maxBytes, const char* what) {
  std::string error;
  std::optional<Bytes> bytes = ParseHex(text, maxBytes, &error);
  if (!bytes) Fail(std::string(what) + ": " + error);
  return bytes;
}

std::optional<std::uint32_t> Words::Milliseconds(std::string_view text, const char* what) {
  std::optional<std::uint64_t> value = Number(text, kMaxMilliseconds, what);
  if (!value) return std::nullopt;
  return static_cast<std::uint32_t>(*value);
}

}  // namespace host
