// A card whose answers come from the fuzz input: its T=1 blocks, its T=0
// responses (with NULL procedure bytes) and, for readers that run T=1
// themselves, its APDU responses. Its ATR and resets are the emulated
// card's own. On a recording tape the emulated card answers and the answer
// is written down in the same format.
//
// T=1 block: header h, then
//   0x00..0x7F  a well-formed block: PCB, then h bytes of INF (NAD 0x25, LEN h, LRC computed)
//   0x80..0xFE  h - 0x80 raw bytes, sent as they are
//   0xFF        no answer at all
// T=0 response: header h (bits 7-6: NULL procedure bytes first), a 16-bit
// big-endian length (modulo 300), the bytes.
// APDU response: a 16-bit big-endian length (modulo 300), the bytes.
#pragma once

#include <memory>

#include "emulator/card/card.h"
#include "fuzz/tape.h"

namespace fuzzing {

class TapeCard : public emu::Card {
 public:
  TapeCard(emu::CardConfig config, std::shared_ptr<Tape> tape) : emu::Card(std::move(config)), tape_(std::move(tape)) {}

  emu::T0Answer TransmitT0(std::span<const std::uint8_t> tpdu) override;
  std::optional<emu::Bytes> ExchangeT1Block(std::span<const std::uint8_t> block) override;
  emu::Bytes TransmitApdu(std::span<const std::uint8_t> apdu) override;

 private:
  std::shared_ptr<Tape> tape_;
};

}  // namespace fuzzing
