#include "fuzz/ifd_world.h"

#include "driver/device/device_context.h"
#include "emulator/reader/reader.h"
#include "fuzz/driver_session.h"
#include "ifd/handler.h"
#include "platform/kernel/platform.h"

namespace fuzzing::ifdworld {
namespace {

readertest::Digest g_outcome;

}  // namespace

void BeginInput() {
  World();
  g_outcome = {};
}

bool SetCard(unsigned long lun, bool present) {
  const std::shared_ptr<emu::Reader> reader = ifd::EmulatedReader(lun);
  if (!reader) return false;
  if (!present) {
    reader->RemoveCard();
  } else if (!reader->CurrentCard()) {
    reader->InsertCard(ChainingCard());
  }
  return true;
}

void Note(unsigned long value) { g_outcome.Add(value); }

void Note(const unsigned char* bytes, std::size_t length) { g_outcome.Add(std::span(bytes, length)); }

void EndInput() {
  Require(kernel::irps::Live() == 0, "a request outlived the channel");
  Require(kernel::pool::LiveBlocks(DriverPoolTag) == 0, "a block tagged TQM9 outlived the channel");
  g_outcome.Add(kernel::pool::Totals().allocations);
  g_outcome.Add(static_cast<std::uint64_t>(kernel::Now()));
  fuzzing::EndInput(g_outcome.Value());
}

}  // namespace fuzzing::ifdworld
