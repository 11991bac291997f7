// What answers the APDUs that the card's transmission protocols deliver: the
// card's own application, or a card emulator elsewhere that the card relays
// to. The T=0 and T=1 engines, the ATR and the reset behaviour stay the
// card's; only the commands' meaning comes from here.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "emulator/card/apdu.h"
#include "emulator/card/bytes.h"

namespace emu {

class ApduService {
 public:
  virtual ~ApduService() = default;

  // The contacts were activated (cold) or the card was reset while powered (warm).
  virtual void PowerOn(bool warm) = 0;
  // The contacts were deactivated.
  virtual void PowerOff() = 0;

  // A command the T=0 side decoded from a TPDU. The answer's data may exceed
  // Ne: the T=0 side shapes them into 61xx and 6Cxx. Nothing when no answer
  // came (the card stays mute).
  virtual std::optional<ResponseApdu> AnswerCommand(const CommandApdu& command) = 0;

  // A whole command APDU (T=1, or a reader that runs the protocol itself);
  // the whole response APDU, data then SW1 SW2, or nothing when no answer came.
  virtual std::optional<Bytes> AnswerApdu(std::span<const std::uint8_t> apdu) = 0;
};

}  // namespace emu
