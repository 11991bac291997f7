// A build without libusb-1.0 (the 32-bit one): there is no bus to open.
#include "platform/usb/host_bus.h"

namespace usb {

std::unique_ptr<HostBus> HostBus::Open(std::string* error) {
  *error = "this build has no USB bus (it was configured without libusb-1.0; install libusb-1.0-0-dev)";
  return nullptr;
}

}  // namespace usb
