// DEVICENAME: every option, the default reader, the USB names pcscd's
// hot-plug gives, and the reason for each name refused. (Its own file: the
// parser's header and pcsc-lite's disagree on ULONG.)
#include <gtest/gtest.h>

#include "ifd/device_name.h"

namespace {

// The options in one line: firmware, card (0 T=1, 1 T=0, 2 none, 3 vicc),
// vicc port, real timing, trace, verbose, log (0 stderr, 1 syslog), control
// path, capture path, the fault lines; or the physical reader.
std::string Options(const char* name, std::string* error) {
  const auto o = ifd::ParseDeviceName(name, error);
  if (!o) return "refused";
  if (o->device) return "usb " + usb::FormatDevice(*o->device);
  std::string faults;
  for (const std::string& line : o->faults) faults += " [" + line + "]";
  return o->firmware + " " + std::to_string(int(o->card)) + " " + std::to_string(o->viccPort) + " " +
         std::to_string(o->realTiming) + std::to_string(o->trace) + std::to_string(o->verbose) +
         std::to_string(int(o->log)) + " '" + o->controlPath + "' '" + o->pcapPath + "'" + faults;
}

TEST(DeviceName, ReadsEveryOptionAndRefusesWithTheReason) {
  const struct {
    const char* name;
    const char* options;  // or the part of the error that says why
  } cases[] = {
      {nullptr, "2.27 0 35963 0000 '' ''"},
      {"emulated", "2.27 0 35963 0000 '' ''"},
      {"emulated:firmware=1.50:card=t0:vicc-port=40000:timing=real:trace=1:verbose=1:log=syslog:control=/tmp/a_b-c.d@e"
       ":pcap=/tmp/r.pcapng",
       "1.50 1 40000 1111 '/tmp/a_b-c.d@e' '/tmp/r.pcapng'"},
      {"emulated:faults=card.bad-lrc.at=2.count=3/reader.split.3-4",
       "2.27 0 35963 0000 '' '' [card fault bad-lrc at=2 count=3] [reader fault split 3-4]"},
      {"emulated:faults=card.explode", "faults=card.explode: expected card.KIND... or reader.KIND... parted by /: card: 'explode' is not a card fault"},
      {"emulated:faults=reader.split.3-4/", "is not a card fault or reader fault"},
      {"usb:5A54/2210:libudev:0:/dev/bus/usb/003/017", "usb 5A54:2210@3.17"},
      {"usb:5a54/2210:libusb-1.0:3:17:0", "usb 5A54:2210@3.17"},
      {"usb:5A54/2210", "usb 5A54:2210"},
      {"/dev/ttyS0", "does not start with \"emulated\""},
      {"emulated:colour=blue", "\"colour\" is unknown"},
      {"emulated:card", "is not key=value"},
      {"emulated:card=t2", "card=t2: expected t1, t0, none or vicc"},
      {"emulated:firmware=2.270", "expected M.mm"},
      {"emulated:vicc-port=65536", "expected a TCP port"},
      {"emulated:control=relative/fifo", "expected an absolute path"},
      {"emulated:pcap=r.pcapng", "pcap=r.pcapng: expected an absolute path"},
      {"emulated:card=t1:firmware=2.27:card=t0", "option card= is given twice"},
      {"usb:5a54-2210", "is not a USB device name"},
      {"usb:5A54/2210:libusb-1.0:1:2:1", "has interface 0 only"},
  };
  for (const auto& c : cases) {
    std::string error;
    const std::string options = Options(c.name, &error);
    if (options == "refused") {
      EXPECT_NE(std::string::npos, error.find(c.options)) << c.name << ": " << error;
    } else {
      EXPECT_EQ(c.options, options) << (c.name ? c.name : "(null)");
    }
  }
}

}  // namespace
