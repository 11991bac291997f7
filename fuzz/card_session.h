// The hostile card's session: an emulated reader (its firmware from the
// input) with a TapeCard, started, then up to kCardOperations operations
// read from the input: resets, protocol selections, power down and
// transmissions of arbitrary commands with arbitrary reply room.
//
// Input: firmware selector, then per operation a byte o (o % 8):
//   0 cold reset, 1 warm reset, 2 select protocol (next byte % 3 + 1 as the
//   mask), 7 power down, otherwise transmit: 16-bit length (modulo 1100),
//   the command, a byte r for the reply room (0: 0x10400, else r x 4).
// The card's answers are read from the same input when the card is asked
// (fuzz/tape_card.h), so they follow the operation that asked for them.
#pragma once

#include <memory>

#include "emulator/card/card.h"
#include "emulator/reader/reader_config.h"
#include "fuzz/driver_session.h"
#include "fuzz/tape.h"

namespace fuzzing {

constexpr int kCardOperations = 10;

// The firmware texts the first byte picks from (modulo their count).
emu::ReaderConfig CardSessionReader(std::uint8_t selector);

// Starts an emulated reader with this card inserted; false when the start failed.
bool StartEmulatedReader(DriverSession& session, const emu::ReaderConfig& config, std::shared_ptr<emu::Card> card);

void RunCardSession(DriverSession& session, Tape& tape, std::shared_ptr<emu::Card> card);

}  // namespace fuzzing
