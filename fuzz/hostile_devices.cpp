#include "fuzz/hostile_devices.h"

#include <algorithm>

#include "emulator/card/t1_block.h"

namespace fuzzing {
namespace {

constexpr std::uint8_t kLastDataHeader = 0xEF;
constexpr std::uint8_t kFirstNakHeader = 0xF0;
constexpr std::uint8_t kZeroLengthHeader = 0xF6;
constexpr std::uint8_t kStallHeader = 0xF7;
constexpr std::uint8_t kFullHeader = 0xF8;
constexpr usb::DeviceTime kNakTimes[] = {10'000, 100'000, 1'000'000, 10'000'000, 60'000'000, 80'000'000};

// The emulated reader's configuration the selector picks (its value modulo
// 4): 2.27; 1.50 (old generation); 2.27 with the bulk-out endpoint listed
// first; 3.01 with a configuration descriptor longer than its interface.
emu::ReaderConfig VariantConfig(std::uint8_t selector) {
  emu::ReaderConfig config;
  config.timing = emu::TimingModel::Instant();
  config.frameLog = false;
  const int variant = selector % 4;
  config.firmwareVersion = variant == 1 ? "1.50" : variant == 3 ? "3.01" : "2.27";
  if (variant == 2) config.endpointOrder = emu::EndpointOrder::BulkOutFirst;
  if (variant == 3) config.configurationTotalLength = 300;
  return config;
}

constexpr std::uint8_t kCardNad = 0x25;
constexpr std::uint8_t kLastWellFormed = 0x7F;
constexpr std::uint8_t kRawBase = 0x80;
constexpr std::uint8_t kSilent = 0xFF;
constexpr std::size_t kMaxResponse = 300;

// Records a response as its 16-bit big-endian length and its bytes, cut to
// what the format carries (at most kMaxResponse - 1 bytes).
void Record(Tape& tape, emu::Bytes& response) {
  if (response.size() >= kMaxResponse) response.resize(kMaxResponse - 1);
  const std::uint8_t length[] = {static_cast<std::uint8_t>(response.size() >> 8),
                                 static_cast<std::uint8_t>(response.size())};
  tape.Append(length);
  tape.Append(response);
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
  return recording_ ? emu::Reader::BulkOut(endpointAddress, data, now) : usb::OutResult{false, {}, now};
}

usb::InResult ScriptedReader::Replay(std::uint32_t maxLength, usb::DeviceTime now) {
  if (script_->Exhausted()) return usb::InResult{usb::InResult::Kind::Failed, {}, now};
  const std::uint8_t header = script_->Byte();
  std::size_t length = std::min<std::size_t>(maxLength, script_->Left());
  if (header <= kLastDataHeader) {
    length = std::min<std::size_t>(length, std::size_t{header} + 1);
  } else if (header == kZeroLengthHeader) {
    length = 0;
  } else if (header == kStallHeader) {
    return usb::InResult{usb::InResult::Kind::Failed, {}, now};
  } else if (header < kFullHeader) {
    return usb::InResult{usb::InResult::Kind::NotReady, {}, 0, now + kNakTimes[header - kFirstNakHeader]};
  }
  return usb::InResult{usb::InResult::Kind::Data, script_->Take(length), now};
}

usb::InResult ScriptedReader::BulkIn(std::uint8_t endpointAddress, std::uint32_t maxLength, usb::DeviceTime now) {
  if (!recording_) return Replay(maxLength, now);
  usb::InResult result = emu::Reader::BulkIn(endpointAddress, maxLength, now);
  if (result.kind == usb::InResult::Kind::Failed) {
    script_->Append(kStallHeader);
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
    script_->Append(header);
    script_->Append(result.data);
  }
  return result;
}

emu::T0Answer TapeCard::TransmitT0(std::span<const std::uint8_t> tpdu) {
  if (tape_->Recording()) {
    emu::T0Answer answer = emu::Card::TransmitT0(tpdu);
    answer.nullProcedureBytes = std::min<std::uint32_t>(answer.nullProcedureBytes, 3);
    tape_->Append(static_cast<std::uint8_t>(answer.nullProcedureBytes << 6));
    Record(*tape_, answer.response);
    return answer;
  }
  emu::T0Answer answer;
  answer.nullProcedureBytes = tape_->Byte() >> 6;
  answer.response = tape_->Take(tape_->Word() % kMaxResponse);
  return answer;
}

std::optional<emu::Bytes> TapeCard::ExchangeT1Block(std::span<const std::uint8_t> block) {
  if (tape_->Recording()) {
    std::optional<emu::Bytes> answer = emu::Card::ExchangeT1Block(block);
    if (!answer) {
      tape_->Append(kSilent);
    } else if (answer->size() >= 4 && (*answer)[0] == kCardNad && (*answer)[2] <= kLastWellFormed &&
               answer->size() == std::size_t{(*answer)[2]} + 4 && emu::t1::Lrc(*answer) == 0) {
      const std::uint8_t head[] = {(*answer)[2], (*answer)[1]};
      tape_->Append(head);
      tape_->Append(std::span(*answer).subspan(3, (*answer)[2]));
    } else {
      answer->resize(std::min<std::size_t>(answer->size(), kSilent - kRawBase - 1));
      tape_->Append(static_cast<std::uint8_t>(kRawBase + answer->size()));
      tape_->Append(*answer);
    }
    return answer;
  }
  if (tape_->Exhausted()) return std::nullopt;
  const std::uint8_t header = tape_->Byte();
  if (header == kSilent) return std::nullopt;
  if (header >= kRawBase) return tape_->Take(header - kRawBase);
  emu::Bytes answer{kCardNad, tape_->Byte(), header};
  const emu::Bytes inf = tape_->Take(header);
  answer.insert(answer.end(), inf.begin(), inf.end());
  answer.push_back(emu::t1::Lrc(answer));
  return answer;
}

emu::Bytes TapeCard::TransmitApdu(std::span<const std::uint8_t> apdu) {
  if (tape_->Recording()) {
    emu::Bytes response = emu::Card::TransmitApdu(apdu);
    Record(*tape_, response);
    return response;
  }
  return tape_->Take(tape_->Word() % kMaxResponse);
}

}  // namespace fuzzing
