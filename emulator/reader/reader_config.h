// What one emulated reader is: its firmware, its USB identity and interface,
// and how long things take on its two sides (USB and card contacts).
#pragma once

#include <cstdint>
#include <string>

#include "platform/usb/usb_function.h"

namespace emu {

using usb::DeviceTime;

// The two frame generations of the reader's command protocol. A reader whose
// firmware is below 2.01 speaks the old one natively; every reader answers a
// frame in the generation that frame was written in.
enum class Generation { Old, New };

// Which endpoint the interface descriptor lists first.
enum class EndpointOrder { BulkInFirst, BulkOutFirst };

// Times are in 100-ns units, the unit of the host's system time.
struct TimingModel {
  // Every bulk transfer completes this long after it was started.
  DeviceTime usbLatency = 10'000;
  // Bit rate on the card contacts; 0 makes the card side cost no time.
  std::uint32_t cardBitRate = 76'800;
  // ISO/IEC 7816-3 clause 7.1 and 7.2: a character is 10 ETU (start bit, 8
  // data bits, parity) followed by the guard time, 2 ETU by default.
  std::uint32_t etuPerCharacter = 12;
  // Time the card takes before each NULL procedure byte it sends (on top of
  // the byte itself): the reason it sends one is that it needs more time.
  DeviceTime nullProcedureInterval = 0;
  // A frame that is still incomplete this long after its first bytes arrived
  // is dropped and answered with the error reply.
  DeviceTime frameAssemblyTimeout = 1'000'000;

  // Everything is ready at once (no USB latency, no card time).
  static TimingModel Instant();
  static TimingModel AtBitRate(std::uint32_t bitRate);

  // How long the given number of characters take on the contacts.
  DeviceTime CardTime(std::uint64_t characters) const;
};

struct ReaderConfig {
  // Four characters "M.mm"; the minor digits are read as hexadecimal digits,
  // as the host reads them, so "2.1a" is 0x21A.
  std::string firmwareVersion = "2.27";
  // Seven characters that precede the version in the firmware-version reply.
  std::string productText = "ZUNTA R";
  std::uint16_t vendorId = 0x5A54;
  std::uint16_t productId = 0x2210;
  EndpointOrder endpointOrder = EndpointOrder::BulkInFirst;
  // 2 is the real interface; 1 keeps only the first of the order, 3 adds an
  // interrupt IN endpoint, 0 leaves the interface without endpoints.
  std::uint8_t endpointCount = 2;
  // wTotalLength of the configuration descriptor; 0 (or anything shorter than
  // the descriptors themselves) gives the natural length. Longer values are
  // reached with vendor-specific descriptors after the endpoints.
  std::uint16_t configurationTotalLength = 0;
  std::uint16_t bulkMaxPacketSize = 64;
  TimingModel timing;
  // Old-generation card frames: how many transfer-status polls report "busy"
  // before the answer is reported, and how long the card takes on top of the
  // characters it exchanges.
  std::uint32_t transferBusyPolls = 0;
  DeviceTime transferBusyTime = 0;
  // Power the card on insertion, so its ATR can be read without a reset.
  bool activateOnInsert = false;
  // Refuse bulk transfers while the device is not configured.
  bool strictConfiguration = false;
  // Keep the most recent frames each way (FramesReceived, RepliesSent).
  bool frameLog = true;
};

// Major number x 256 + minor number of a version text, read as the host reads
// it (digits, then letters from 10); characters beyond the text count as 0.
std::uint16_t FirmwareVersionNumber(const std::string& text);
Generation NativeGeneration(const std::string& firmwareVersion);

}  // namespace emu
