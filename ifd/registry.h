// The handler's channels, one per Lun, shared by the entry points.
#pragma once

#include <memory>
#include <string>

#include "ifd/channel.h"

namespace ifd {

// pcscd numbers readers in the high 16 bits of a Lun and slots in the low
// ones; this reader has one slot, slot 0.
constexpr unsigned long kSlotMask = 0xFFFF;

// The open channel of a Lun; null when the Lun is not open or names a slot
// other than 0.
std::shared_ptr<Channel> FindChannel(unsigned long lun);

// "Lun 0x10000", for the log.
std::string LunText(unsigned long lun);

}  // namespace ifd
