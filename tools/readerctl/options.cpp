#include "tools/readerctl/options.h"

#include <string_view>
#include <vector>

#include "host/arguments.h"

namespace readerctl {

std::optional<Options> ParseOptions(int argc, const char* const* argv, std::string* error) {
  Options options;
  std::vector<std::string_view> words;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    // The option's value: the next word.
    auto value = [&](std::string_view* out) {
      if (i + 1 >= argc) {
        *error = std::string(arg) + " needs a value";
        return false;
      }
      *out = argv[++i];
      return true;
    };
    std::string_view v;
    if (arg == "--help" || arg == "-h") {
      options.mode = Mode::Help;
      return options;
    } else if (arg == "--trace") {
      options.trace = true;
    } else if (arg == "--pcap") {
      if (!value(&v)) return std::nullopt;
      options.pcap = std::string(v);
    } else if (arg == "--time") {
      if (!value(&v)) return std::nullopt;
      if (v == "simulated") {
        options.clock = kernel::ClockMode::Simulated;
      } else if (v == "real") {
        options.clock = kernel::ClockMode::Real;
      } else {
        *error = "--time takes simulated or real, not " + host::Quoted(v);
        return std::nullopt;
      }
    } else if (arg == "--model") {
      if (!value(&v)) return std::nullopt;
      if (v == "kt2210") {
        options.model = host::Model::Kt2210;
      } else if (v == "lm5520") {
        options.model = host::Model::Lm5520;
      } else {
        *error = "--model takes kt2210 or lm5520, not " + host::Quoted(v);
        return std::nullopt;
      }
    } else if (arg == "--firmware") {
      if (!value(&v)) return std::nullopt;
      if (!host::IsFirmwareText(v)) {
        *error = "--firmware takes a version text such as 2.27, not " + host::Quoted(v);
        return std::nullopt;
      }
      options.firmware = std::string(v);
    } else if (arg.size() > 1 && arg[0] == '-') {
      *error = "unknown option " + host::Quoted(arg);
      return std::nullopt;
    } else {
      words.push_back(arg);
    }
  }
  if (words.empty()) {
    *error = "a mode is missing: demo or run FILE";
    return std::nullopt;
  }
  std::size_t expected = 1;
  if (words[0] == "demo") {
    options.mode = Mode::Demo;
  } else if (words[0] == "run") {
    options.mode = Mode::Run;
    if (words.size() < 2) {
      *error = "run needs a script: a file name, or - for standard input";
      return std::nullopt;
    }
    options.script = std::string(words[1]);
    expected = 2;
  } else {
    *error = "unknown mode " + host::Quoted(words[0]) + ": demo or run FILE";
    return std::nullopt;
  }
  if (words.size() > expected) {
    *error = "unexpected " + host::Quoted(words[expected]);
    return std::nullopt;
  }
  if (options.mode == Mode::Run && (options.model || options.firmware)) {
    *error = "--model and --firmware belong to demo; a script sets them with its reader line";
    return std::nullopt;
  }
  return options;
}

}  // namespace readerctl
