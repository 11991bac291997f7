#include "fuzz/scripted_reader.h"

#include <algorithm>

namespace fuzzing {
namespace {

constexpr std::uint8_t kLastDataHeader = 0xEF;
constexpr std::uint8_t kFirstNakHeader = 0xF0;
constexpr std::uint8_t kZeroLengthHeader = 0xF6;
constexpr std::uint8_t kStallHeader = 0xF7;
constexpr std::uint8_t kFullHeader = 0xF8;
constexpr usb::DeviceTime kNakTimes[] = {10'000, 100'000, 1'000'000, 10'000'000, 60'000'000, 80'000'000};

// The emulated reader's configurations the selector picks from (its value
// modulo the count): firmware generation, endpoint order, the length of the
// configuration descriptor.
struct Variant {
  const char* firmware;
  emu::EndpointOrder order;
  std::uint16_t configurationTotalLength;
};
constexpr Variant kVariants[] = {
    {"2.27", emu::EndpointOrder::BulkInFirst, 0},   {"1.50", emu::EndpointOrder::BulkInFirst, 0},
    {"2.27", emu::EndpointOrder::BulkOutFirst, 0},  {"3.01", emu::EndpointOrder::BulkInFirst, 300},
};

emu::ReaderConfig VariantConfig(std::uint8_t selector) {
  const Variant& variant = kVariants[selector % std::size(kVariants)];
  emu::ReaderConfig config;
  config.firmwareVersion = variant.firmware;
  config.endpointOrder = variant.order;
  config.configurationTotalLength = variant.configurationTotalLength;
  config.timing = emu::TimingModel::Instant();
  return config;
}

usb::InResult Answer(usb::InResult::Kind kind, usb::DeviceTime now, std::vector<std::uint8_t> bytes = {}) {
  usb::InResult result;
  result.kind = kind;
  result.data = std::move(bytes);
  result.completeAt = now;
  return result;
}

}  // namespace

ScriptedReader::ScriptedReader(std::shared_ptr<Tape> script, std::shared_ptr<emu::Card> card)
    : ScriptedReader(script, script->Byte(), std::move(card)) {}

// In replay the emulated reader only describes itself (its descriptors, as
// the selector configures it); the script answers.
ScriptedReader::ScriptedReader(std::shared_ptr<Tape> script, std::uint8_t selector, std::shared_ptr<emu::Card> card)
    : emu::Reader(VariantConfig(selector)),
      script_(std::move(script)),
      recording_(script_->Recording()),
      selector_(selector) {
  if (card) InsertCard(std::move(card));
}

usb::OutResult ScriptedReader::BulkOut(std::uint8_t endpointAddress, std::span<const std::uint8_t> data,
                                       usb::DeviceTime now) {
  if (recording_) return emu::Reader::BulkOut(endpointAddress, data, now);
  usb::OutResult result;
  result.completeAt = now;
  return result;
}

usb::InResult ScriptedReader::Replay(std::uint32_t maxLength, usb::DeviceTime now) {
  if (script_->Exhausted()) return Answer(usb::InResult::Kind::Failed, now);
  const std::uint8_t header = script_->Byte();
  std::size_t length = std::min<std::size_t>(maxLength, script_->Left());
  if (header <= kLastDataHeader) {
    length = std::min<std::size_t>(length, std::size_t{header} + 1);
  } else if (header == kZeroLengthHeader) {
    length = 0;
  } else if (header == kStallHeader) {
    return Answer(usb::InResult::Kind::Failed, now);
  } else if (header < kFullHeader) {
    usb::InResult result;
    result.kind = usb::InResult::Kind::NotReady;
    result.readyAt = now + kNakTimes[header - kFirstNakHeader];
    return result;
  }
  return Answer(usb::InResult::Kind::Data, now, script_->Take(length));
}

usb::InResult ScriptedReader::BulkIn(std::uint8_t endpointAddress, std::uint32_t maxLength, usb::DeviceTime now) {
  if (!recording_) return Replay(maxLength, now);
  usb::InResult result = emu::Reader::BulkIn(endpointAddress, maxLength, now);
  if (result.kind == usb::InResult::Kind::Failed) {
    script_->Append(std::span(&kStallHeader, 1));
  } else if (result.kind == usb::InResult::Kind::Data) {
    // The emulated reader never sends more than asked; pieces above the
    // data headers' reach go as "what the host asked for".
    const std::size_t size = result.data.size();
    std::uint8_t header = kFullHeader;
    if (size == 0) {
      header = kZeroLengthHeader;
    } else if (size != maxLength && size <= std::size_t{kLastDataHeader} + 1) {
      header = static_cast<std::uint8_t>(size - 1);
    }
    script_->Append(std::span(&header, 1));
    script_->Append(result.data);
  }
  return result;
}

}  // namespace fuzzing
