// A port of the emulated hub: a BusPort with a UsbFunction (the emulated
// reader) behind it, in this process. A bulk transfer that the device cannot
// finish at once is parked with a cancel routine and a timer, as a host
// controller keeps it in its schedule, and asked again when the device wakes.
#pragma once

#include <memory>

#include "platform/usb/bus_port.h"

namespace usb {

class EmulatedCarrier;

class EmulatedPort : public BusPort {
 public:
  explicit EmulatedPort(std::shared_ptr<UsbFunction> function);
  ~EmulatedPort() override;

  UsbFunction& Function() const;
  // Bulk transfers waiting for the device right now.
  std::size_t ParkedTransfers() const;

 private:
  explicit EmulatedPort(std::unique_ptr<EmulatedCarrier> carrier);
  EmulatedCarrier& carrier_;
};

}  // namespace usb
