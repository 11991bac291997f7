// Fuzz targets 1 and 2, built from this one source (FUZZ_HOSTILE_CARD picks
// the second): a hostile reader, every bulk-in answer of a whole device life
// from the input, split over transfers as the input says; a hostile card,
// its T=1 blocks, T=0 responses and APDU responses from the input, during
// transmissions of commands from the input (fuzz/driver_session.h and
// fuzz/hostile_devices.h have the formats).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "fuzz/driver_session.h"
#include "fuzz/hostile_devices.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Answers beyond this cannot reach further into a life that ends with removal.
  if (size > 8192) return -1;
  auto tape = std::make_shared<fuzzing::Tape>(std::span<const std::uint8_t>(data, size));
#ifdef FUZZ_HOSTILE_CARD
  fuzzing::RunCardSession(*tape, std::make_shared<fuzzing::TapeCard>(fuzzing::ChainingCardConfig(), tape));
#else
  fuzzing::RunReaderLifecycle(std::make_shared<fuzzing::ScriptedReader>(tape));
#endif
  return 0;
}
