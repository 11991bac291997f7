// The card's side of the T=0 character protocol at the level the reader
// hands it over: one command TPDU in, response data and SW1 SW2 out
// (ISO/IEC 7816-3 clauses 10 and 12.2).
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "emulator/card/apdu.h"
#include "emulator/card/apdu_service.h"
#include "emulator/card/bytes.h"

namespace emu {

// Reads a TPDU CLA INS P1 P2 P3 [data]. Four bytes are case 1; five bytes
// are case 2 with Le = P3 (00 meaning 256), since the header alone cannot
// tell case 1 with P3 = 00 from case 2 and this card takes the latter; more
// bytes are case 3 with Lc = P3 and exactly P3 data bytes. Anything else
// gives nothing (the card answers 6700).
std::optional<CommandApdu> DecodeTpdu(std::span<const std::uint8_t> tpdu);

// What the card sends back for one TPDU, and what it keeps for GET RESPONSE.
struct T0Reply {
  Bytes wire;                         // response data, then SW1 SW2
  Bytes held;                         // data that wait for GET RESPONSE
  std::uint16_t heldSw = sw::kNormal;  // status that ends the last GET RESPONSE
};

// Shapes an application answer for T=0 (ISO/IEC 7816-3 clause 12.2):
// - ne 0 (a TPDU without Le, case 1 or 3): data are announced with 61xx and held;
// - Na = Ne: data and status;
// - Na differs from Ne and Na is 256 or less: 6Cxx with xx = Na (00 for 256);
// - Na above 256: the first Ne bytes, then 61xx, the rest held.
// xx in 61xx is the number of bytes held, 00 for 256 or more. Error status
// words come alone.
T0Reply ShapeT0Reply(const ResponseApdu& response, std::uint32_t ne);

// Answers a GET RESPONSE asking for ne bytes of `held` (non-empty).
T0Reply ServeGetResponse(std::span<const std::uint8_t> held, std::uint16_t heldSw, std::uint32_t ne);

class T0Engine {
 public:
  // The reply to one TPDU; empty when the service gave no answer.
  Bytes Transmit(std::span<const std::uint8_t> tpdu, ApduService& service);
  void Reset();

 private:
  Bytes held_;
  std::uint16_t heldSw_ = sw::kNormal;
  std::uint8_t heldCla_ = 0;
};

}  // namespace emu
