// A device's whole life, as the hostile reader's target and its seed
// generator both run it: start, the reader interface opened, card tracking,
// cold reset, both protocols with a command each, warm reset, the eight
// vendor codes, power down, eject, sleep and resume, surprise removal and
// removal. Every step is sent whatever the earlier ones returned.
#pragma once

#include <memory>

#include "fuzz/driver_session.h"
#include "platform/usb/usb_function.h"

namespace fuzzing {

void RunReaderLifecycle(DriverSession& session, std::shared_ptr<usb::UsbFunction> reader);

// A transmit request: the SCARD_IO_REQUEST header for `protocol`, then the command.
Bytes TransmitRequest(ULONG protocol, const Bytes& command);

}  // namespace fuzzing
