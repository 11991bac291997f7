#include "tests/host/script_run.h"

#include <cstdio>
#include <cstring>
#include <sstream>

#include "host/hex.h"
#include "driver/models/model.h"

namespace hosttest {

ScriptRun RunScriptText(const std::string& script, bool trace) {
  std::istringstream in(script);
  std::ostringstream out;
  std::ostringstream traceOut;
  ScriptRun run;
  run.outcome = host::RunScript(in, host::SessionOptions{kernel::ClockMode::Simulated, trace}, out, traceOut);
  run.out = out.str();
  run.trace = traceOut.str();
  return run;
}

std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& prefix) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(prefix, 0) == 0) lines.push_back(line);
  }
  return lines;
}

std::string ForThisDeliverable(std::string text) {
  char minor[4];
  std::snprintf(minor, sizeof minor, "%02X", ModelIdentity.DriverVersionMinor);
  char driver[8];
  std::snprintf(driver, sizeof driver, "%u.%02u", ModelIdentity.DriverVersionMajor, ModelIdentity.DriverVersionMinor);
  const char* type = ModelIdentity.IfdType;
  const struct {
    const char* placeholder;
    std::string value;
  } replacements[] = {
      {"{MINOR}", minor},
      {"{TYPE}", host::ToHex(host::Bytes(type, type + std::strlen(type) + 1))},
      {"{DELIVERABLE}", ModelIdentity.DeliverableName},
      {"{IFD}", type},
      {"{DRIVER}", driver},
  };
  for (const auto& r : replacements) {
    for (std::size_t at = text.find(r.placeholder); at != std::string::npos; at = text.find(r.placeholder, at)) {
      text.replace(at, std::strlen(r.placeholder), r.value);
    }
  }
  return text;
}

}  // namespace hosttest
