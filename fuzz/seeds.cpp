#include "fuzz/seeds.h"

namespace fuzzing {

std::shared_ptr<emu::Card> SeedCard() {
  emu::CardConfig config;
  config.atr.t0 = true;
  config.atr.t1 = true;
  config.atr.ta3 = 0x20;
  config.atr.historical = {0x45, 0x4D, 0x55};
  return std::make_shared<emu::Card>(config);
}

std::vector<std::tuple<std::string, std::string, Bytes>> OtherSeeds() { return {}; }

}  // namespace fuzzing
