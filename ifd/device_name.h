// The reader a reader.conf entry asks for: its DEVICENAME, passed verbatim
// by pcscd, is `emulated[:key=value...]`; or a physical reader on the USB
// bus, named as pcscd's USB hot-plug names the devices that match the
// bundle's Info.plist:
//
//   usb:VVVV/PPPP:libudev:I:/dev/bus/usb/BBB/DDD      (pcscd built with libudev, Debian's)
//   usb:VVVV/PPPP:libusb-1.0:B:D:I                     (pcscd built with libusb hot-plug)
//   usb:VVVV/PPPP                                      (reader.conf: the first such device)
//
// VVVV and PPPP are the hexadecimal vendor and product ids, I the interface
// number (this reader has interface 0 only), B and D the bus and address.
//
//   firmware=M.mm     the emulated reader's firmware (default 2.27)
//   card=t1|t0|none|vicc
//                     the card in it at start (default t1); vicc: the card is
//                     vsmartcard's vicc, connected over TCP
//   vicc-port=N       the TCP port on 127.0.0.1 where vicc connects (default 35963)
//   timing=fast|real  fast (default): the emulated reader and card answer at
//                     once; real: with the reader's USB latency and the
//                     card's bit rate, as a real one would
//   trace=1           every reader frame and USB request to the log
//   verbose=1         channel life and the checks at the last close to the log
//   log=stderr|syslog where the log goes (default stderr: pcscd -f shows it)
//   pcap=PATH         every USB request to the reader and its completion to
//                     a pcapng capture (created, or emptied) for Wireshark
//   control=PATH      a FIFO (created when missing) that takes the lines
//                     `insert [t0|t1]` and `remove`: the built-in card goes in
//                     or out, for tests driving pcscd from outside; and the
//                     fault lines of readerctl's scripts (`card fault ...`,
//                     `reader fault ...`)
//   faults=F/F...     faults asked at start, each such a line without its
//                     word `fault` and with `.` for its blanks:
//                     card.bad-lrc.at=2/reader.split.3-4
//
// Each key may appear once. Values keep to letters, digits and `: = . _ - / @`: pcscd refuses a
// reader.conf line with other punctuation and then does not start.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/usb/host_bus.h"

namespace ifd {

enum class CardChoice { T1, T0, None, Vicc };
enum class LogTarget { Stderr, Syslog };

struct ChannelOptions {
  std::string firmware = "2.27";
  CardChoice card = CardChoice::T1;
  std::uint16_t viccPort = 35963;
  bool realTiming = false;
  bool trace = false;
  bool verbose = false;
  LogTarget log = LogTarget::Stderr;
  std::string controlPath;
  std::string pcapPath;
  std::vector<std::string> faults;  // script lines, `card fault ...` or `reader fault ...`
  // A physical reader: which device. The options above are the emulated reader's.
  std::optional<usb::DeviceMatch> device;
};

// The options, or nullopt with *error saying what is wrong. A null or empty
// name is the default reader.
std::optional<ChannelOptions> ParseDeviceName(const char* name, std::string* error);

}  // namespace ifd
