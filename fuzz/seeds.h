// What the seed generator shares with the targets: the card the seeds are
// recorded with, and the seeds of the targets other than the hostile reader.
#pragma once

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "emulator/card/card.h"
#include "fuzz/driver_session.h"

namespace fuzzing {

// A card that offers T=0 and T=1, IFSC 32, with three historical bytes.
emu::CardConfig SeedCardConfig();
std::shared_ptr<emu::Card> SeedCard();

// (target, seed name, bytes) of every other target.
std::vector<std::tuple<std::string, std::string, Bytes>> OtherSeeds();

}  // namespace fuzzing
