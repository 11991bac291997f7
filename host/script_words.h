// The words of a script line after its command: positional words in order
// and key=value options by key, each read at most once. The first problem
// found is kept as the line's one-line reason, prefixed with the command.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/arguments.h"
#include "host/hex.h"

namespace host {

class Words {
 public:
  Words(std::string_view verb, const std::vector<std::string_view>& words);

  const std::string& Error() const { return error_; }
  // Keeps the first message; always false, so that a check can return it.
  bool Fail(const std::string& message);

  std::size_t Count() const { return positional_.size(); }
  // The positional word at i, or an empty one.
  std::string_view At(std::size_t i) const;

  // The value of key=...; a repeated key is an error.
  std::optional<std::string_view> Take(std::string_view key);
  // No more positional words than `expected`, and no option left unread.
  bool Finish(std::size_t expected);

  // Arguments checked where they enter; `what` names them in the message.
  std::optional<std::uint64_t> Number(std::string_view text, std::uint64_t max, const char* what);
  std::optional<Bytes> Hex(std::string_view text, std::size_t maxBytes, const char* what);
  std::optional<std::uint32_t> Milliseconds(std::string_view text, const char* what);

 private:
  struct Option {
    std::string_view key;
    std::string_view value;
    bool used = false;
  };

  std::string verb_;
  std::vector<std::string_view> positional_;
  std::vector<Option> options_;
  std::string error_;
};

// One of a fixed set of words and what it stands for.
template <typename Value>
struct Choice {
  std::string_view word;
  Value value;
};

template <typename Value, std::size_t N>
std::optional<Value> Choose(Words& words, std::string_view word, const Choice<Value> (&choices)[N], const char* what) {
  std::string list;
  for (const Choice<Value>& choice : choices) {
    if (choice.word == word) return choice.value;
    list += (list.empty() ? "" : "|") + std::string(choice.word);
  }
  words.Fail(word.empty() ? std::string(what) + " is missing (" + list + ")"
                          : Quoted(word) + " is not a " + what + " (" + list + ")");
  return std::nullopt;
}

}  // namespace host
