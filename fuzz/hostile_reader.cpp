// Fuzz target 1, a hostile reader: every bulk-in answer of a whole device
// life comes from the input, split over transfers as the input says
// (fuzz/scripted_reader.h has the format).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "fuzz/driver_session.h"
#include "fuzz/reader_lifecycle.h"
#include "fuzz/scripted_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Replies beyond this cannot reach further into a life that ends with removal.
  constexpr std::size_t kMaxScript = 8192;
  if (size > kMaxScript) return -1;
  fuzzing::DriverSession session;
  fuzzing::RunReaderLifecycle(session,
                              std::make_shared<fuzzing::ScriptedReader>(std::span<const std::uint8_t>(data, size)));
  return 0;
}
