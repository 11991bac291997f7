// Which deliverable this build carries. The model is fixed when the driver is
// built (Kt2210p for x86-64, Lm5520p for 32-bit x86): a session that asks
// for the other one is refused with the build to use.
#pragma once

#include <optional>
#include <string>

#include "host/script.h"

namespace host {

Model BuiltModel();
// "kt2210" or "lm5520", as scripts and the command line write it.
const char* ModelWord(Model model);
// Nothing when the model is the built one; else why not, and which build has it.
std::optional<std::string> RefuseOtherModel(Model model);

}  // namespace host
