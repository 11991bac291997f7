// The card's ISO/IEC 7816-4 application: a master file, one transparent EF
// and two proprietary commands. Deterministic: the same commands after the
// same reset give the same answers.
//
//   MF   file id 3F00, DF name F0 45 4D 55 43 41 52 44 ("\xF0" "EMUCARD")
//   EF   file id 0101, short EF identifier 1, transparent, `fileSize` bytes
//
//   00 A4  SELECT          P1 00 (file id or empty), 02 (EF under the MF),
//                          04 (DF name), 08 (path from the MF);
//                          P2 00 (FCI), 04 (FCP), 0C (no response data)
//   00 B0  READ BINARY     offset in P1-P2, or P1 = 100xxxxx with SFI 1 and offset P2
//   00 D6  UPDATE BINARY   same addressing
//   00 84  GET CHALLENGE   Ne pseudo-random bytes
//   00 C0  GET RESPONSE    only meaningful under T=0 (the T=0 side serves it)
//   80 20  generate        N = P1-P2 bytes, byte i = i & 0xFF; P1-P2 = 0 gives
//                          Ne bytes, so an extended Le of 0000 gets all 65,536
//   80 22  echo            returns the command data
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "emulator/card/apdu.h"
#include "emulator/card/apdu_service.h"
#include "emulator/card/bytes.h"

namespace emu {

// The EF's content before anything is written: a pattern that differs from
// the generate command's, so a test can tell them apart.
std::uint8_t InitialFileByte(std::uint32_t offset);

class Application : public ApduService {
 public:
  // The EF holds at most 65535 bytes: its size must fit FCP tag 80 in two bytes.
  static constexpr std::uint32_t kMaxFileSize = 0xFFFF;
  static constexpr std::uint16_t kMfId = 0x3F00;
  static constexpr std::uint16_t kEfId = 0x0101;
  static constexpr std::uint8_t kEfSfi = 1;

  explicit Application(std::uint32_t fileSize);

  // A card reset: the MF is current again and the challenge sequence
  // restarts. The EF keeps what was written to it.
  void Reset();

  // Runs one command. The data are everything the command has to give
  // (commands that read Ne bytes honour Ne); the transport cuts them to size.
  ResponseApdu Execute(const CommandApdu& command);

  // The whole APDU in, the whole response out (data at most Ne bytes, SW1 SW2).
  Bytes Transmit(std::span<const std::uint8_t> apdu);

  const Bytes& File() const { return file_; }

  // ApduService: the card's own application answers every command; power
  // on and reset both start it afresh.
  void PowerOn(bool warm) override;
  void PowerOff() override {}
  std::optional<ResponseApdu> AnswerCommand(const CommandApdu& command) override { return Execute(command); }
  std::optional<Bytes> AnswerApdu(std::span<const std::uint8_t> apdu) override { return Transmit(apdu); }

 private:
  enum class Current : std::uint8_t { Mf, Ef };

  ResponseApdu Select(const CommandApdu& command);
  ResponseApdu ReadBinary(const CommandApdu& command);
  ResponseApdu UpdateBinary(const CommandApdu& command);
  ResponseApdu GetChallenge(const CommandApdu& command);
  static ResponseApdu Generate(const CommandApdu& command);
  static ResponseApdu Echo(const CommandApdu& command);
  Bytes ControlParameters(Current file, std::uint8_t templateTag) const;

  // Resolves P1-P2 of READ/UPDATE BINARY into an offset, or a status word.
  struct Address {
    std::uint32_t offset = 0;
    std::uint16_t error = 0;
    bool selectsEf = false;
  };
  Address ResolveBinaryAddress(const CommandApdu& command) const;

  Bytes file_;
  Current current_ = Current::Mf;
  std::uint32_t challengeState_ = 0;
};

}  // namespace emu
