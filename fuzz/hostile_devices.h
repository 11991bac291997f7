// The hostile devices: a reader and a card whose answers come from the
// fuzz input (the tape).
//
// ScriptedReader, a reader whose bulk-in answers are bytes the fuzzer chose:
// whatever the driver sends, each IN transfer is served the next piece of a
// reply script.
// Its descriptors are the emulated reader's (of a configuration the script's
// first byte picks), so the device starts as far as its replies let it.
//
// The script, after that first byte, is a sequence of pieces, each one
// header byte h, then data:
//   0x00..0xEF  h + 1 bytes of data (fewer when the host asked for fewer)
//   0xF0..0xF5  no data yet: the transfer is NAKed for 1 ms, 10 ms, 100 ms,
//               1 s, 6 s or 8 s (past the 5 s and 7 s bounds)
//   0xF6        a zero-length packet
//   0xF7        the transfer fails (a stall)
//   0xF8..0xFF  as much data as the host asked for
// When the script is used up, every further IN transfer fails: a reader
// with nothing more to say.
//
// On a recording tape the emulated reader itself answers, with the card
// given, and each answer it gives is written down in this format, for seed
// corpora.
//
// TapeCard, a card whose answers come from the fuzz input: its T=1 blocks,
// its T=0 responses (with NULL procedure bytes) and, for readers that run
// T=1 themselves, its APDU responses. Its ATR and resets are the emulated
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

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "emulator/card/card.h"
#include "emulator/reader/reader.h"
#include "fuzz/tape.h"

namespace fuzzing {

class ScriptedReader : public emu::Reader {
 public:
  explicit ScriptedReader(std::shared_ptr<Tape> script, std::shared_ptr<emu::Card> card = nullptr);

  usb::OutResult BulkOut(std::uint8_t endpointAddress, std::span<const std::uint8_t> data,
                         usb::DeviceTime now) override;
  usb::InResult BulkIn(std::uint8_t endpointAddress, std::uint32_t maxLength, usb::DeviceTime now) override;
  // Bit 7 of the selector: the port reports itself connected but disabled,
  // so the vendor port reset goes as far as the reset.
  usb::PortStatus GetPortStatus() override {
    return recording_ ? emu::Reader::GetPortStatus() : usb::PortStatus{true, (selector_ & 0x80) == 0};
  }

 private:
  ScriptedReader(std::shared_ptr<Tape> script, std::uint8_t selector, std::shared_ptr<emu::Card> card);
  usb::InResult Replay(std::uint32_t maxLength, usb::DeviceTime now);

  std::shared_ptr<Tape> script_;
  const bool recording_;
  const std::uint8_t selector_;
};

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
