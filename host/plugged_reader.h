// A reader on the emulated hub: an emu::Reader behind a usb::EmulatedPort,
// whose physical device object the Plug and Play manager hands to the
// driver's AddDevice. The port and the reader outlive the driver's device:
// the port goes when this object does.
#pragma once

#include <memory>

#include "emulator/reader/reader.h"
#include "platform/usb/emulated_port.h"

namespace host {

class PluggedReader {
 public:
  explicit PluggedReader(std::shared_ptr<emu::Reader> reader);
  PluggedReader(const PluggedReader&) = delete;
  PluggedReader& operator=(const PluggedReader&) = delete;

  emu::Reader& Reader() const { return *reader_; }
  const std::shared_ptr<emu::Reader>& SharedReader() const { return reader_; }
  usb::EmulatedPort& Port() { return port_; }
  const usb::EmulatedPort& Port() const { return port_; }

  PDEVICE_OBJECT PhysicalDeviceObject() const { return port_.PhysicalDeviceObject(); }
  // The top of the device stack: requests go there.
  PDEVICE_OBJECT Top() const { return IoGetAttachedDevice(PhysicalDeviceObject()); }
  // Has a driver attached its device above the physical one.
  bool HasFunctionDevice() const { return Top() != PhysicalDeviceObject(); }

 private:
  std::shared_ptr<emu::Reader> reader_;
  usb::EmulatedPort port_;
};

}  // namespace host
