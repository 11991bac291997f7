#include "fuzz/ifd_world.h"

#include "driver/device/device_context.h"
#include "emulator/reader/reader.h"
#include "fuzz/driver_session.h"
#include "ifd/handler.h"
#include "platform/kernel/platform.h"

namespace fuzzing::ifdworld {

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

void CheckBetweenInputs(long* baseline) {
  Require(kernel::irps::InProgress() == 0, "a request was left inside the driver after an entry point returned");
  const long live = static_cast<long>(kernel::pool::LiveBlocks(DriverPoolTag));
  if (*baseline < 0) *baseline = live;
  Require(live == *baseline, "the driver's pool blocks grew from one input to the next");
}

}  // namespace fuzzing::ifdworld
