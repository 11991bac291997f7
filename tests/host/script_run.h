// Runs a script text through readerctl's session in simulated time and
// keeps what it wrote, for tests that compare whole outputs.
#pragma once

#include <string>
#include <vector>

#include "host/script_session.h"

namespace hosttest {

struct ScriptRun {
  std::string out;    // the result lines
  std::string trace;  // the trace lines, when asked for
  host::ScriptOutcome outcome;
};

ScriptRun RunScriptText(const std::string& script, bool trace = false);

// The lines of a text that begin with `prefix`, without a final newline.
std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& prefix);

// What differs between the deliverables, replaced in an expected text:
//   {MINOR}        the driver's minor version as the version block carries it, "1B" or "1C"
//   {TYPE}         the reader type as the IFD type attribute returns it, in hex with its terminating zero
//   {DELIVERABLE}  "Kt2210p" or "Lm5520p"
//   {IFD}          "KT2210USB" or "LM5520USB"
//   {DRIVER}       the driver version, "2.27" or "2.28"
std::string ForThisDeliverable(std::string text);

}  // namespace hosttest
