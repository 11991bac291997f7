// Serves the emulated reader with a T=1 card as the USB device of a
// umockdev testbed to other processes (pcscd in tests/ifd/pcscd/run.sh):
// prints the testbed's directory, which those processes get as
// UMOCKDEV_DIR and run under umockdev-wrapper, then takes commands on
// standard input: "unplug" (the reader leaves the bus, "unplugged" is
// printed); the end of input ends it.
#include <cstdlib>
#include <iostream>
#include <string>

#include "host/emulated_cards.h"
#include "platform/kernel/platform.h"
#include "tests/platform/usb/umockdev/umockdev_reader.h"

int main() {
  kernel::Platform platform(kernel::ClockMode::Real);
  emu::ReaderConfig config = host::ReaderConfigFor("2.27");
  config.timing = emu::TimingModel::Instant();
  auto reader = std::make_shared<emu::Reader>(config);
  reader->InsertCard(host::MakeCard(host::CardKind::T1));
  usbtest::UmockdevReader bed(std::move(reader));
  const char* directory = std::getenv("UMOCKDEV_DIR");
  if (directory == nullptr) return 1;  // not under umockdev-wrapper
  std::cout << directory << std::endl;
  for (std::string line; std::getline(std::cin, line);) {
    if (line == "unplug") {
      bed.Unplug();
      std::cout << "unplugged" << std::endl;
    }
  }
  return 0;
}
