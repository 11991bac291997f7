#include "emulator/reader/reader_config.h"

namespace emu {
namespace {

constexpr DeviceTime kUnitsPerSecond = 10'000'000;

std::uint8_t DigitValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
  if (c >= 'A' && c <= 'Z') return static_cast<std::uint8_t>(c - 'A' + 10);
  if (c >= 'a' && c <= 'z') return static_cast<std::uint8_t>(c - 'a' + 10);
  return 0;
}

char CharAt(const std::string& text, std::size_t index) { return index < text.size() ? text[index] : '0'; }

}  // namespace

TimingModel TimingModel::Instant() {
  TimingModel timing;
  timing.usbLatency = 0;
  timing.cardBitRate = 0;
  timing.nullProcedureInterval = 0;
  return timing;
}

TimingModel TimingModel::AtBitRate(std::uint32_t bitRate) {
  TimingModel timing;
  timing.cardBitRate = bitRate;
  return timing;
}

DeviceTime TimingModel::CardTime(std::uint64_t characters) const {
  if (cardBitRate == 0 || characters == 0) return 0;
  // Rounded up over the whole run, so that 76,800 bit/s (1,562.5 units per
  // character) does not lose half a unit per character.
  const std::uint64_t etus = characters * etuPerCharacter;
  const std::uint64_t units = (etus * kUnitsPerSecond + cardBitRate - 1) / cardBitRate;
  return static_cast<DeviceTime>(units);
}

std::uint16_t FirmwareVersionNumber(const std::string& text) {
  const unsigned major = DigitValue(CharAt(text, 0));
  const unsigned minor = (DigitValue(CharAt(text, 2)) * 16u + DigitValue(CharAt(text, 3))) & 0xFFu;
  return static_cast<std::uint16_t>(((major & 0xFFu) << 8) | minor);
}

Generation NativeGeneration(const std::string& firmwareVersion) {
  return FirmwareVersionNumber(firmwareVersion) < 0x201 ? Generation::Old : Generation::New;
}

}  // namespace emu
