// Command and response APDUs (ISO/IEC 7816-4 command-response pairs) as the card's
// application sees them once a transmission protocol has delivered them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "emulator/card/bytes.h"

namespace emu {

// The status words this card answers with (ISO/IEC 7816-4, status bytes SW1-SW2).
namespace sw {
constexpr std::uint16_t kNormal = 0x9000;
constexpr std::uint16_t kEndOfFileReached = 0x6282;  // fewer than Ne bytes before the end of the EF
constexpr std::uint16_t kWrongLength = 0x6700;
constexpr std::uint16_t kChainingUnsupported = 0x6884;
constexpr std::uint16_t kConditionsNotSatisfied = 0x6985;
constexpr std::uint16_t kNoCurrentEf = 0x6986;
constexpr std::uint16_t kFileNotFound = 0x6A82;
constexpr std::uint16_t kNotEnoughMemory = 0x6A84;
constexpr std::uint16_t kIncorrectP1P2 = 0x6A86;
constexpr std::uint16_t kOffsetOutsideEf = 0x6B00;
constexpr std::uint16_t kInsNotSupported = 0x6D00;
constexpr std::uint16_t kClaNotSupported = 0x6E00;
}  // namespace sw

// One decoded command APDU. `data` points into the buffer that was parsed.
struct CommandApdu {
  std::uint8_t cla = 0;
  std::uint8_t ins = 0;
  std::uint8_t p1 = 0;
  std::uint8_t p2 = 0;
  std::span<const std::uint8_t> data;  // the Nc bytes of the command data field
  std::uint32_t ne = 0;                // 0 without an Le field, else 1 to 65536
  bool extended = false;               // the length fields were in extended form

  // An Le of all zero bytes asks for everything there is, up to 256 (short)
  // or 65536 (extended) bytes.
  bool NeIsMaximum() const { return ne == (extended ? 65536u : 256u); }
  std::uint16_t P1P2() const { return static_cast<std::uint16_t>((p1 << 8) | p2); }
};

// Decodes cases 1, 2S, 3S, 4S, 2E, 3E and 4E (ISO/IEC 7816-3 clause 12.1.3);
// nothing for a byte string that is none of them.
std::optional<CommandApdu> ParseCommandApdu(std::span<const std::uint8_t> apdu);

// The command's bytes again (ISO/IEC 7816-3 clause 12.1.3): the short form
// unless `extended` is set or Nc exceeds 255 or Ne exceeds 256.
Bytes Serialize(const CommandApdu& command);

struct ResponseApdu {
  Bytes data;
  std::uint16_t sw = sw::kNormal;
};

// Normal processing (9000) and warnings (62xx, 63xx) may follow response
// data; every other status word comes alone.
bool MayCarryData(std::uint16_t status);

Bytes Serialize(const ResponseApdu& response);  // data, SW1, SW2
Bytes StatusOnly(std::uint16_t status);

}  // namespace emu
