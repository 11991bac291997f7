// Fuzz target 2, a hostile card: T=1 blocks, T=0 responses and APDU
// responses from the input, during transmissions of commands from the input
// (fuzz/driver_session.h and fuzz/hostile_devices.h have the format).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "fuzz/driver_session.h"
#include "fuzz/hostile_devices.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 8192) return -1;
  auto tape = std::make_shared<fuzzing::Tape>(std::span<const std::uint8_t>(data, size));
  fuzzing::RunCardSession(*tape, std::make_shared<fuzzing::TapeCard>(fuzzing::ChainingCardConfig(), tape));
  return 0;
}
