// The emulated reader as a USB device that real libusb cannot tell from one:
// a umockdev testbed device at /dev/bus/usb/001/002 (sysfs entries from the
// reader's descriptors) whose usbdevfs ioctls the emu::Reader answers. The
// process must run under umockdev-wrapper. An IN URB the reader NAKs is
// parked and lends the platform's clock hold (kernel::HoldClock) back until
// the reader wakes, so simulated time moves only while the reader is silent.
#pragma once

#include <memory>

#include "emulator/reader/reader.h"

namespace usbtest {

class UmockdevReader {
 public:
  explicit UmockdevReader(std::shared_ptr<emu::Reader> reader);
  ~UmockdevReader();
  // Is this process under umockdev's preload (known only once a testbed exists).
  static bool Available();
  // URBs under way are reaped with -ESHUTDOWN, later ioctls fail with ENODEV, remove uevents.
  void Unplug();
  // URBs submitted and not yet reaped by libusb (or of them those parked).
  std::size_t Urbs(bool parkedOnly = false) const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace usbtest
