#include "fuzz/tape_card.h"

namespace fuzzing {
namespace {

constexpr std::uint8_t kCardNad = 0x25;
constexpr std::uint8_t kLastWellFormed = 0x7F;
constexpr std::uint8_t kRawBase = 0x80;
constexpr std::uint8_t kSilent = 0xFF;
constexpr std::size_t kMaxResponse = 300;

std::uint8_t Lrc(std::span<const std::uint8_t> bytes) {
  std::uint8_t lrc = 0;
  for (std::uint8_t b : bytes) lrc ^= b;
  return lrc;
}

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

emu::T0Answer TapeCard::TransmitT0(std::span<const std::uint8_t> tpdu) {
  if (tape_->Recording()) {
    emu::T0Answer answer = emu::Card::TransmitT0(tpdu);
    answer.nullProcedureBytes = std::min<std::uint32_t>(answer.nullProcedureBytes, 3);
    const std::uint8_t header = static_cast<std::uint8_t>(answer.nullProcedureBytes << 6);
    tape_->Append(std::span(&header, 1));
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
      tape_->Append(std::span(&kSilent, 1));
    } else if (answer->size() >= 4 && (*answer)[0] == kCardNad && (*answer)[2] <= kLastWellFormed &&
               answer->size() == std::size_t{(*answer)[2]} + 4 && Lrc(*answer) == 0) {
      const std::uint8_t head[] = {(*answer)[2], (*answer)[1]};
      tape_->Append(head);
      tape_->Append(std::span(*answer).subspan(3, (*answer)[2]));
    } else {
      answer->resize(std::min<std::size_t>(answer->size(), kSilent - kRawBase - 1));
      const std::uint8_t head = static_cast<std::uint8_t>(kRawBase + answer->size());
      tape_->Append(std::span(&head, 1));
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
  answer.push_back(Lrc(answer));
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
