// An emulated reader on a fake USB bus that real libusb code cannot tell
// from a device: a umockdev testbed with one USB device (its sysfs
// attributes and descriptors built from the reader's own), whose usbdevfs
// ioctls are answered from the emu::Reader and its card. The process (or
// the process it starts) must run under umockdev-wrapper (LD_PRELOAD).
//
// Simulated time: every URB holds the platform's clock while the device side
// has it (kernel::HoldClock, taken by the port that submitted it); one the
// reader NAKs without end is parked and lends its hold back until the
// reader wakes, it is discarded or the device is unplugged, so the clock
// moves on only while the reader really is silent.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "emulator/reader/reader.h"
#include "platform/usb/host_bus.h"

namespace usbtest {

class UmockdevReader {
 public:
  // The reader plugged in at bus 1, `address`.
  explicit UmockdevReader(std::shared_ptr<emu::Reader> reader, std::uint8_t address = 2);
  ~UmockdevReader();
  UmockdevReader(const UmockdevReader&) = delete;
  UmockdevReader& operator=(const UmockdevReader&) = delete;

  // Is this process under umockdev's preload (else nothing here works);
  // umockdev can tell only once a testbed exists.
  static bool Available();

  usb::DeviceAddress Address() const;
  // "/dev/bus/usb/001/002"
  std::string DeviceNode() const;
  emu::Reader& Reader() const;

  // The device leaves the bus: URBs under way are reaped with -ESHUTDOWN,
  // every later ioctl fails with ENODEV, the sysfs entries go with a remove
  // uevent. Plug puts a reader in again at a new address, with an add uevent.
  void Unplug();
  void Plug(std::shared_ptr<emu::Reader> reader, std::uint8_t address);

  // URBs submitted and not yet reaped by libusb, and of them those parked.
  std::size_t UrbsUnderWay() const;
  std::size_t UrbsParked() const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace usbtest
