// Frames that carry card commands: T=0 TPDUs and T=1 blocks (address 0x52)
// and the old generation's whole-APDU frames (types 0x50 and 0x51).
#include "emulator/reader/reader.h"

namespace emu {
namespace {

// ISO/IEC 7816-3 clause 10.3.3: the NULL procedure byte.
constexpr std::uint8_t kNullProcedureByte = 0x60;

}  // namespace

Reader::Replies Reader::Handle(std::span<const std::uint8_t> frame, DeviceTime now) {
  switch (frame[0]) {
    case kOldCommandType:
      return HandleCommand(Generation::Old, frame, now);
    case kNewCommandAddress:
      if (CheckByte(frame.first(frame.size() - 1)) != frame.back()) {
        return OneReply(ErrorReply(frame, ErrorCode::BadCheckByte, now + config_.timing.usbLatency));
      }
      return HandleCommand(Generation::New, frame, now);
    case kNewCardAddress:
      return mode_ == CardFrameMode::T1 ? HandleT1Block(frame, now) : HandleT0Frame(frame, now);
    default:
      return HandleOldCardFrame(frame, now);
  }
}

Reader::Replies Reader::HandleT0Frame(std::span<const std::uint8_t> frame, DeviceTime now) {
  const DeviceTime start = now + config_.timing.usbLatency;
  if (CheckByte(frame.first(frame.size() - 1)) != frame.back()) {
    return OneReply(ErrorReply(frame, ErrorCode::BadCheckByte, start));
  }
  const std::uint8_t control = frame[1];
  const std::span<const std::uint8_t> tpdu = frame.subspan(4, frame.size() - 5);
  const T0Answer answer = card_->TransmitT0(tpdu);
  // A card that gives no answer at all leaves the host's wait to run out.
  if (answer.response.empty()) return {};

  Replies out;
  DeviceTime t = start + config_.timing.CardTime(tpdu.size());
  // Each NULL procedure byte reaches the host at once as a frame of its own,
  // so that the host can restart its wait for the answer.
  for (std::uint32_t i = 0; i < answer.nullProcedureBytes; ++i) {
    t += config_.timing.nullProcedureInterval + config_.timing.CardTime(1);
    QueuedReply null;
    const std::uint8_t data[] = {kNullProcedureByte};
    null.bytes = BuildT0Frame(control, data);
    null.readyAt = t;
    out.push_back(std::move(null));
  }
  t += config_.timing.CardTime(answer.response.size());
  if (answer.response.size() > 0xFFFF) {
    out.push_back(ErrorReply(frame, ErrorCode::BadLength, t));
    return out;
  }
  QueuedReply reply;
  reply.bytes = BuildT0Frame(control, answer.response);
  reply.readyAt = t;
  out.push_back(std::move(reply));
  return out;
}

Reader::Replies Reader::HandleT1Block(std::span<const std::uint8_t> frame, DeviceTime now) {
  // The block goes to the card as it came, check byte included: checking it
  // is the card's part of ISO/IEC 7816-3 clause 11.6.
  std::optional<Bytes> answer = card_->ExchangeT1Block(frame);
  if (!answer) return {};  // a mute card: the host's block waiting time runs out
  QueuedReply reply;
  reply.readyAt = now + config_.timing.usbLatency + config_.timing.CardTime(frame.size() + answer->size());
  reply.bytes = std::move(*answer);
  return OneReply(std::move(reply));
}

Reader::Replies Reader::HandleOldCardFrame(std::span<const std::uint8_t> frame, DeviceTime now) {
  // The old generation runs the card protocol inside the reader: the frame
  // is acknowledged at once and the answer is collected later with the
  // transfer-status and transfer-result commands.
  const DeviceTime ackAt = now + config_.timing.usbLatency;
  const std::span<const std::uint8_t> command = frame.subspan(4);
  Bytes answer;
  DeviceTime cardTime = 0;
  if (frame[0] == kOldT1CardType) {
    answer = card_->TransmitApdu(command);
  } else {
    T0Answer t0 = card_->TransmitT0(command);
    answer = std::move(t0.response);
    cardTime = static_cast<DeviceTime>(t0.nullProcedureBytes) *
               (config_.timing.nullProcedureInterval + config_.timing.CardTime(1));
  }
  cardTime += config_.timing.CardTime(command.size() + answer.size());

  transfer_.state = TransferState::Started;
  transfer_.answer = std::move(answer);
  transfer_.doneAt = ackAt + cardTime + config_.transferBusyTime;
  transfer_.busyPollsLeft = config_.transferBusyPolls;

  // The acknowledgement: the request's type byte and the status bytes 90 00.
  const std::uint8_t ok[] = {0x90, 0x00};
  QueuedReply reply;
  reply.bytes = BuildOldFrame(frame[0], ok);
  reply.readyAt = ackAt;
  return OneReply(std::move(reply));
}

}  // namespace emu
