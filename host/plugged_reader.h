// A reader on a hub port whose physical device object the Plug and Play
// manager hands to the driver's AddDevice: an emu::Reader behind a
// usb::EmulatedPort, or a physical reader behind a port of the machine's
// USB bus (usb::HostBus). The port (and an emulated reader) outlive the
// driver's device: the port goes when this object does.
#pragma once

#include <memory>

#include "emulator/reader/reader.h"
#include "platform/usb/bus_port.h"
#include "platform/usb/emulated_port.h"

namespace host {

class PluggedReader {
 public:
  explicit PluggedReader(std::shared_ptr<emu::Reader> reader);
  // A physical reader: no emulated reader stands behind the port.
  explicit PluggedReader(std::unique_ptr<usb::BusPort> port);
  PluggedReader(const PluggedReader&) = delete;
  PluggedReader& operator=(const PluggedReader&) = delete;

  // The emulated reader; null for a physical one.
  const std::shared_ptr<emu::Reader>& SharedReader() const { return reader_; }
  emu::Reader& Reader() const { return *reader_; }
  usb::BusPort& Port() { return *port_; }
  const usb::BusPort& Port() const { return *port_; }

  PDEVICE_OBJECT PhysicalDeviceObject() const { return port_->PhysicalDeviceObject(); }
  // The top of the device stack: requests go there.
  PDEVICE_OBJECT Top() const { return IoGetAttachedDevice(PhysicalDeviceObject()); }
  // Has a driver attached its device above the physical one.
  bool HasFunctionDevice() const { return Top() != PhysicalDeviceObject(); }

 private:
  std::shared_ptr<emu::Reader> reader_;
  std::unique_ptr<usb::BusPort> port_;
};

}  // namespace host
