// Fuzz target 1, a hostile reader: every bulk-in answer of a whole device
// life comes from the input, split over transfers as the input says
// (fuzz/hostile_devices.h has the format).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "fuzz/driver_session.h"
#include "fuzz/hostile_devices.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Replies beyond this cannot reach further into a life that ends with removal.
  if (size > 8192) return -1;
  auto tape = std::make_shared<fuzzing::Tape>(std::span<const std::uint8_t>(data, size));
  fuzzing::RunReaderLifecycle(std::make_shared<fuzzing::ScriptedReader>(tape));
  return 0;
}
