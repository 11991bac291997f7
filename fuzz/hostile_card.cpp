// Fuzz target 2, a hostile card: T=1 blocks, T=0 responses and APDU
// responses from the input, during transmissions of commands from the input
// (fuzz/card_session.h and fuzz/tape_card.h have the format).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "fuzz/card_session.h"
#include "fuzz/seeds.h"
#include "fuzz/tape_card.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kMaxInput = 8192;
  if (size > kMaxInput) return -1;
  auto tape = std::make_shared<fuzzing::Tape>(std::span<const std::uint8_t>(data, size));
  fuzzing::DriverSession session;
  fuzzing::RunCardSession(session, *tape, std::make_shared<fuzzing::TapeCard>(fuzzing::SeedCardConfig(), tape));
  return 0;
}
