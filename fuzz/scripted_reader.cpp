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

struct Variant {
  const char* firmware;
  emu::EndpointOrder order;
  std::uint16_t configurationTotalLength;
};
constexpr Variant kVariants[] = {
    {"2.27", emu::EndpointOrder::BulkInFirst, 0},   {"1.50", emu::EndpointOrder::BulkInFirst, 0},
    {"2.27", emu::EndpointOrder::BulkOutFirst, 0},  {"3.01", emu::EndpointOrder::BulkInFirst, 300},
};

usb::InResult Data(std::vector<std::uint8_t> bytes, usb::DeviceTime now) {
  usb::InResult result;
  result.kind = usb::InResult::Kind::Data;
  result.data = std::move(bytes);
  result.completeAt = now;
  return result;
}

usb::InResult Stall(usb::DeviceTime now) {
  usb::InResult result;
  result.kind = usb::InResult::Kind::Failed;
  result.completeAt = now;
  return result;
}

}  // namespace

emu::ReaderConfig ScriptedReaderConfig(std::uint8_t selector) {
  const Variant& variant = kVariants[selector % std::size(kVariants)];
  emu::ReaderConfig config;
  config.firmwareVersion = variant.firmware;
  config.endpointOrder = variant.order;
  config.configurationTotalLength = variant.configurationTotalLength;
  config.timing = emu::TimingModel::Instant();
  return config;
}

ScriptedReader::ScriptedReader(std::span<const std::uint8_t> script)
    : descriptors_(ScriptedReaderConfig(script.empty() ? 0 : script[0])) {
  if (!script.empty()) {
    // Bit 7 of the selector: the port reports itself connected but disabled,
    // so the vendor port reset goes as far as the reset.
    portEnabled_ = (script[0] & 0x80) == 0;
    script_.assign(script.begin() + 1, script.end());
  }
}

std::vector<std::uint8_t> ScriptedReader::GetDescriptor(std::uint8_t type, std::uint8_t index) {
  return descriptors_.GetDescriptor(type, index);
}

usb::OutResult ScriptedReader::BulkOut(std::uint8_t, std::span<const std::uint8_t>, usb::DeviceTime now) {
  usb::OutResult result;
  result.completeAt = now;
  return result;
}

usb::PortStatus ScriptedReader::GetPortStatus() {
  std::lock_guard lock(mu_);
  return usb::PortStatus{true, portEnabled_};
}

usb::InResult ScriptedReader::BulkIn(std::uint8_t, std::uint32_t maxLength, usb::DeviceTime now) {
  std::lock_guard lock(mu_);
  if (next_ >= script_.size()) return Stall(now);
  const std::uint8_t header = script_[next_++];
  const std::size_t left = script_.size() - next_;
  std::size_t length = 0;
  if (header <= kLastDataHeader) {
    length = std::min<std::size_t>({std::size_t{header} + 1, maxLength, left});
  } else if (header >= kFullHeader) {
    length = std::min<std::size_t>(maxLength, left);
  } else if (header == kZeroLengthHeader) {
    return Data({}, now);
  } else if (header == kStallHeader) {
    return Stall(now);
  } else {
    usb::InResult result;
    result.kind = usb::InResult::Kind::NotReady;
    result.readyAt = now + kNakTimes[header - kFirstNakHeader];
    return result;
  }
  std::vector<std::uint8_t> bytes(script_.begin() + static_cast<std::ptrdiff_t>(next_),
                                  script_.begin() + static_cast<std::ptrdiff_t>(next_ + length));
  next_ += length;
  return Data(std::move(bytes), now);
}

RecordingReader::RecordingReader(std::uint8_t selector, std::shared_ptr<emu::Card> card)
    : reader_(std::make_shared<emu::Reader>(ScriptedReaderConfig(selector))), script_{selector} {
  if (card) reader_->InsertCard(std::move(card));
}

std::vector<std::uint8_t> RecordingReader::GetDescriptor(std::uint8_t type, std::uint8_t index) {
  return reader_->GetDescriptor(type, index);
}

usb::OutResult RecordingReader::BulkOut(std::uint8_t endpointAddress, std::span<const std::uint8_t> data,
                                        usb::DeviceTime now) {
  return reader_->BulkOut(endpointAddress, data, now);
}

usb::InResult RecordingReader::BulkIn(std::uint8_t endpointAddress, std::uint32_t maxLength, usb::DeviceTime now) {
  usb::InResult result = reader_->BulkIn(endpointAddress, maxLength, now);
  std::lock_guard lock(mu_);
  if (result.kind == usb::InResult::Kind::Data) {
    // The emulated reader never sends more than asked; pieces above the
    // data headers' reach go as "what the host asked for".
    const std::size_t size = result.data.size();
    if (size == 0) {
      script_.push_back(kZeroLengthHeader);
    } else if (size == maxLength || size > std::size_t{kLastDataHeader} + 1) {
      script_.push_back(kFullHeader);
    } else {
      script_.push_back(static_cast<std::uint8_t>(size - 1));
    }
    script_.insert(script_.end(), result.data.begin(), result.data.end());
  } else if (result.kind == usb::InResult::Kind::Failed) {
    script_.push_back(kStallHeader);
  }
  return result;
}

std::vector<std::uint8_t> RecordingReader::Script() const {
  std::lock_guard lock(mu_);
  return script_;
}

}  // namespace fuzzing
