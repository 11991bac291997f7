// readerctl: the driver's main job on the built-in emulated reader.
#include <cstdio>
#include <fstream>
#include <iostream>

#include "host/deliverable.h"
#include "host/demo.h"
#include "host/script_session.h"
#include "tools/readerctl/help.h"
#include "tools/readerctl/options.h"

namespace {

int Fail(const std::string& message, int status) {
  std::fprintf(stderr, "readerctl: %s\n", message.c_str());
  return status;
}

int RunScriptFile(const readerctl::Options& options, std::shared_ptr<usb::Capture> capture) {
  const host::SessionOptions session{options.clock, options.trace, std::move(capture)};
  host::ScriptOutcome outcome;
  if (options.script == "-") {
    outcome = host::RunScript(std::cin, session, std::cout, std::cerr);
  } else {
    std::ifstream file(options.script);
    if (!file) return Fail("cannot read " + options.script, 1);
    outcome = host::RunScript(file, session, std::cout, std::cerr);
  }
  return outcome.ok ? 0 : Fail(outcome.error, 1);
}

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  const std::optional<readerctl::Options> options = readerctl::ParseOptions(argc, argv, &error);
  if (!options) return Fail(error + " (readerctl --help explains the usage)", 2);
  std::shared_ptr<usb::Capture> capture;
  if (!options->pcap.empty() && options->mode != readerctl::Mode::Help) {
    capture = usb::Capture::Open(options->pcap, &error);
    if (!capture) return Fail(error, 1);
  }
  switch (options->mode) {
    case readerctl::Mode::Help:
      std::fputs(readerctl::HelpText(), stdout);
      return 0;
    case readerctl::Mode::Run:
      return RunScriptFile(*options, std::move(capture));
    case readerctl::Mode::Demo: {
      host::DemoOptions demo;
      demo.clock = options->clock;
      demo.trace = options->trace;
      demo.capture = std::move(capture);
      if (options->firmware) demo.firmware = *options->firmware;
      if (options->model) {
        if (std::optional<std::string> refusal = host::RefuseOtherModel(*options->model)) {
          return Fail("--model " + *refusal, 2);
        }
      }
      const host::DemoOutcome outcome = host::RunDemo(demo, std::cout, std::cerr);
      return outcome.ok ? 0 : Fail("demo: " + outcome.error, 1);
    }
  }
  return 0;
}
