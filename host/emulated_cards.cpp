#include "host/emulated_cards.h"

namespace host {

emu::ReaderConfig ReaderConfigFor(const std::string& firmware) {
  emu::ReaderConfig config;
  config.firmwareVersion = firmware;
  return config;
}

std::shared_ptr<emu::Card> MakeCard(CardKind kind, const std::optional<Bytes>& atr) {
  emu::CardConfig config;
  switch (kind) {
    case CardKind::None:
    case CardKind::Vicc:  // vicc brings its card when it connects
      return nullptr;
    case CardKind::T0:
      config.atr.t1 = false;
      config.atr.historical = {'E', 'M', 'U', '0'};
      break;
    case CardKind::T1:
      // IFSC 32 (TA3), so that a command of a few hundred bytes travels as a chain.
      config.atr.t0 = false;
      config.atr.ta3 = 0x20;
      config.atr.historical = {'E', 'M', 'U', '1'};
      break;
    case CardKind::Dual:
      config.atr.ta3 = 0x20;
      config.atr.historical = {'E', 'M', 'U', '2'};
      break;
  }
  if (atr) config.atrOverride = *atr;
  return std::make_shared<emu::Card>(config);
}

}  // namespace host
