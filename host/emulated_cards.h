// The emulated reader and cards that sessions plug in: a reader with a
// firmware text, and cards by kind (T=0 only, T=1 only, both) with an ATR of
// their kind or one given byte for byte.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "emulator/card/card.h"
#include "emulator/reader/reader_config.h"
#include "host/script.h"

namespace host {

constexpr const char* kDefaultFirmware = "2.27";

emu::ReaderConfig ReaderConfigFor(const std::string& firmware);
// Null for CardKind::None and CardKind::Vicc.
std::shared_ptr<emu::Card> MakeCard(CardKind kind, const std::optional<Bytes>& atr = std::nullopt);

}  // namespace host
