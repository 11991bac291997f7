// The emulated reader as a USB device that real libusb cannot tell from one:
// a umockdev testbed device (sysfs entries from the reader's descriptors)
// whose usbdevfs ioctls the emu::Reader answers. The process must run under
// umockdev-wrapper. An IN URB the reader NAKs is parked and lends the
// platform's clock hold back (kernel::HoldClock) until the reader wakes, so
// simulated time moves only while the reader really is silent.
#pragma once

#include <memory>

#include "emulator/reader/reader.h"
#include "platform/usb/host_bus.h"

namespace usbtest {

class UmockdevReader {
 public:
  // The reader plugged in at bus 1, address 2 ("/dev/bus/usb/001/002").
  explicit UmockdevReader(std::shared_ptr<emu::Reader> reader);
  ~UmockdevReader();
  // Is this process under umockdev's preload (known only once a testbed exists).
  static bool Available();
  usb::DeviceAddress Address() const;
  emu::Reader& Reader() const;
  // URBs under way are reaped with -ESHUTDOWN, later ioctls fail with ENODEV, remove uevents.
  void Unplug();
  // URBs submitted and not yet reaped by libusb, and of them those parked.
  std::size_t UrbsUnderWay() const;
  std::size_t UrbsParked() const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace usbtest
