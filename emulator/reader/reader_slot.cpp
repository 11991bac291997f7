// The reader's card slot: a card going in and out, powered up and down, and
// the state the status command and the card frames read.
#include <utility>

#include "emulator/reader/atr_protocols.h"
#include "emulator/reader/reader.h"

namespace emu {

void Reader::InsertCard(std::shared_ptr<Card> card) {
  {
    std::lock_guard lock(mu_);
    PowerDownCard();
    card_ = std::move(card);
    if (card_ && config_.activateOnInsert) PowerUpCard(false, std::nullopt);
  }
  Wake();
}

void Reader::RemoveCard() {
  {
    std::lock_guard lock(mu_);
    PowerDownCard();
    card_.reset();
  }
  Wake();
}

void Reader::RemoveCard(const std::shared_ptr<Card>& card) {
  {
    std::lock_guard lock(mu_);
    if (!card || card_ != card) return;
    PowerDownCard();
    card_.reset();
  }
  Wake();
}

std::shared_ptr<Card> Reader::CurrentCard() const {
  std::lock_guard lock(mu_);
  return card_;
}

Bytes Reader::PowerUpCard(bool warm, std::optional<std::uint8_t> parameter) {
  // A warm reset needs a powered card (ISO/IEC 7816-3 clause 6.2.3); an
  // unpowered one is activated cold.
  lastAtr_ = card_->Reset(warm && mode_ != CardFrameMode::None);
  resetParameter_ = parameter;
  ++counters_.cardResets;
  // The host selects T=1 with bit 0 of the reset parameter and never sends a
  // PPS, so the card stays in its default protocol otherwise: T=0 whenever
  // its ATR offers it.
  const bool t1Requested = parameter && (*parameter & 0x01) != 0;
  mode_ = (AtrOffersT0(lastAtr_) && !t1Requested) ? CardFrameMode::T0 : CardFrameMode::T1;
  if (transfer_.state == TransferState::Started || transfer_.state == TransferState::Busy) {
    transfer_.state = TransferState::Failed;
  }
  return lastAtr_;
}

void Reader::PowerDownCard() {
  if (card_ && mode_ != CardFrameMode::None) card_->PowerOff();
  mode_ = CardFrameMode::None;
  if (transfer_.state == TransferState::Started || transfer_.state == TransferState::Busy) {
    transfer_.state = TransferState::Failed;
  }
}

std::uint8_t Reader::StatusLocked() const {
  std::uint8_t status = 0;
  if (card_) status |= 0x08;
  if (card_ && mode_ != CardFrameMode::None) status |= 0x10;
  if (setUp_) status |= 0x20;
  return status;
}

std::uint8_t Reader::StatusByte() const {
  std::lock_guard lock(mu_);
  return StatusLocked();
}

CardFrameMode Reader::ProtocolMode() const {
  std::lock_guard lock(mu_);
  return mode_;
}

std::uint8_t Reader::Configuration() const {
  std::lock_guard lock(mu_);
  return configuration_;
}

TransferState Reader::CurrentTransferState() const {
  std::lock_guard lock(mu_);
  return transfer_.state;
}

std::optional<std::uint8_t> Reader::CommandB0Parameter() const {
  std::lock_guard lock(mu_);
  return b0Parameter_;
}

std::optional<std::uint8_t> Reader::CommandD8Parameter() const {
  std::lock_guard lock(mu_);
  return d8Parameter_;
}

std::optional<std::uint8_t> Reader::LastResetParameter() const {
  std::lock_guard lock(mu_);
  return resetParameter_;
}

}  // namespace emu
