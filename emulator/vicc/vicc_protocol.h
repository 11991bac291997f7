// The messages between a virtual reader and vsmartcard's card emulator vicc:
// each one a two-byte big-endian length and its payload. The reader's
// one-byte messages are controls; longer ones are command APDUs, each
// answered with the response APDU. vicc sends nothing of its own accord.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "emulator/card/bytes.h"
#include "emulator/card/card.h"

namespace emu::vicc {

constexpr std::uint8_t kPowerOff = 0x00;
constexpr std::uint8_t kPowerOn = 0x01;
constexpr std::uint8_t kReset = 0x02;
constexpr std::uint8_t kGetAtr = 0x04;  // answered with the ATR

constexpr std::size_t kLengthSize = 2;
constexpr std::size_t kMaxPayload = 0xFFFF;

// An ATR is TS, T0 and at most 31 more characters (ISO/IEC 7816-3 clause 8.2.1).
constexpr std::size_t kMinAtr = 2;
constexpr std::size_t kMaxAtr = 33;

// Length and payload, ready for one write. The payload must not exceed kMaxPayload.
Bytes FrameMessage(std::span<const std::uint8_t> payload);

// The card's information field size from the first TA after a TD that names
// T=1 (TA3 and beyond, ISO/IEC 7816-3 clause 11.4.2); nothing when the ATR
// gives none or a reserved value (00, FF). A truncated ATR is read as far as
// it goes.
std::optional<std::uint8_t> AtrIfsc(std::span<const std::uint8_t> atr);

// How a card that relays to vicc is built from vicc's ATR: the ATR as it
// is, and the IFSC it announces.
CardConfig CardConfigForAtr(std::span<const std::uint8_t> atr);

// The answer to a command as the T=0 side needs it: data and status word.
// Nothing for an answer shorter than SW1 SW2.
std::optional<ResponseApdu> SplitResponse(std::span<const std::uint8_t> answer);

}  // namespace emu::vicc
