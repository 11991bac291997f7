#include "host/deliverable.h"

#include <cstring>

#include "driver/public/driver.h"

namespace host {

Model BuiltModel() {
  return std::strcmp(ModelIdentity.DeliverableName, "Lm5520p") == 0 ? Model::Lm5520 : Model::Kt2210;
}

const char* ModelWord(Model model) { return model == Model::Lm5520 ? "lm5520" : "kt2210"; }

std::optional<std::string> RefuseOtherModel(Model model) {
  if (model == BuiltModel()) return std::nullopt;
  const char* configure = model == Model::Lm5520
                              ? "-DDELIVERABLE=Lm5520p -DCMAKE_TOOLCHAIN_FILE=scripts/cmake/toolchain-i686.cmake"
                              : "-DDELIVERABLE=Kt2210p";
  return std::string(ModelWord(model)) + " is not in this build, which carries the " + ModelIdentity.DeliverableName +
         " driver; use the readerctl of a build configured with " + configure;
}

}  // namespace host
