#include "emulator/card/card.h"

#include <algorithm>

namespace emu {

namespace {

// A card without TA3 has the default IFSC of 32 (ISO/IEC 7816-3 clause 11.4).
std::uint8_t InitialIfsc(const CardConfig& config) { return config.atr.ta3.value_or(32); }

}  // namespace

Card::Card(CardConfig config)
    : config_(std::move(config)),
      app_(config_.fileSize),
      t1_(InitialIfsc(config_), config_.ifsd) {}

Card::Card(CardConfig config, std::shared_ptr<ApduService> service) : Card(std::move(config)) {
  remote_ = std::move(service);
}

Bytes Card::Reset(bool warm) {
  // A warm reset and a cold one end alike for the card's own state: the
  // protocol state starts afresh and the ATR is the same. A cold reset of a
  // powered card deactivates it first (ISO/IEC 7816-3 clause 6.4), which the
  // service hears about.
  if (!warm && powered_) {
    Service().PowerOff();
  }
  powered_ = true;
  Service().PowerOn(warm);
  t0_.Reset();
  t1_.Reset();
  return Atr();
}

void Card::PowerOff() {
  if (powered_) {
    Service().PowerOff();
  }
  powered_ = false;
}

Bytes Card::Atr() const { return config_.atrOverride ? *config_.atrOverride : BuildAtr(config_.atr); }

T0Answer Card::TransmitT0(std::span<const std::uint8_t> tpdu) {
  if (!powered_) {
    return {};
  }
  Bytes response = t0_.Transmit(tpdu, Service());
  if (response.empty()) {
    return {};  // no answer: the card stays mute
  }
  return {std::move(response), config_.t0NullProcedureBytes};
}

void Card::ScriptT1Fault(T1Fault fault) {
  if (fault.at == 0) {
    t1Faults_.push_back(std::move(fault));
    return;
  }
  fault.at += static_cast<std::uint32_t>(t1Received_.size());
  auto later = std::upper_bound(t1Scheduled_.begin(), t1Scheduled_.end(), fault.at,
                                [](std::uint32_t at, const T1Fault& queued) { return at < queued.at; });
  t1Scheduled_.insert(later, std::move(fault));
}

std::optional<Bytes> Card::ExchangeT1Block(std::span<const std::uint8_t> block) {
  if (!powered_) {
    return std::nullopt;
  }
  if (!t1Scheduled_.empty() || !t1Faults_.empty()) {
    block = TakeReceiveFaults(block);
  }
  t1Received_.emplace_back(block.begin(), block.end());
  std::optional<Bytes> answer = t1_.Exchange(block, t1Faults_, Service());
  if (answer) {
    t1Sent_.push_back(*answer);
  }
  return answer;
}

std::span<const std::uint8_t> Card::TakeReceiveFaults(std::span<const std::uint8_t> block) {
  const std::size_t number = t1Received_.size() + 1;
  while (!t1Scheduled_.empty() && t1Scheduled_.front().at <= number) {
    t1Faults_.push_back(std::move(t1Scheduled_.front()));
    t1Scheduled_.pop_front();
  }
  if (t1Faults_.empty() || t1Faults_.front().kind != T1Fault::Kind::Corrupt || block.empty()) {
    return block;
  }
  t1Faults_.pop_front();
  t1Damaged_.assign(block.begin(), block.end());
  t1Damaged_.back() ^= 0xFF;
  return t1Damaged_;
}

Bytes Card::TransmitApdu(std::span<const std::uint8_t> apdu) {
  if (!powered_) {
    return {};
  }
  return Service().AnswerApdu(apdu).value_or(Bytes{});
}

}  // namespace emu
