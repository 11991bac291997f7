// The command line of readerctl: the mode, its argument and the options,
// checked where they enter.
#pragma once

#include <optional>
#include <string>

#include "host/script.h"
#include "platform/kernel/platform.h"

namespace readerctl {

enum class Mode { Help, Demo, Run };

struct Options {
  Mode mode = Mode::Help;
  std::string script;  // run: a file name, or "-" for standard input
  kernel::ClockMode clock = kernel::ClockMode::Real;
  bool trace = false;
  std::string pcap;  // a capture file to write; empty: none
  std::optional<host::Model> model;     // demo: the deliverable asked for
  std::optional<std::string> firmware;  // demo: the emulated reader's firmware text
};

// The options, or nullopt with a one-line reason in *error.
std::optional<Options> ParseOptions(int argc, const char* const* argv, std::string* error);

}  // namespace readerctl
