// The reader's own commands (frame types 0x10 and 0x12) and its error reply.
#include <array>

#include "emulator/reader/reader.h"

namespace emu {
namespace {

// Information field of a reader command: 0x01, the command byte, parameters.
constexpr std::uint8_t kCommandClass = 0x01;
// 00 F5 restarts the reader's firmware: the host runs the set-up sequence
// after it.
constexpr std::uint8_t kRestartClass = 0x00;
constexpr std::uint8_t kRestartCommand = 0xF5;

constexpr std::uint8_t kStatus = 0x31;
constexpr std::uint8_t kGetAtr = 0x35;
constexpr std::uint8_t kEject = 0x39;
constexpr std::uint8_t kSetUpEnd = 0x41;
constexpr std::uint8_t kCommandB0 = 0xB0;
constexpr std::uint8_t kVersion = 0xC0;
constexpr std::uint8_t kSetUpStart = 0xD0;
constexpr std::uint8_t kResetCard = 0xD1;
constexpr std::uint8_t kTransferStatus = 0xD2;
constexpr std::uint8_t kTransferResult = 0xD3;
constexpr std::uint8_t kCommandD8 = 0xD8;

// Status bytes that end the information field of a successful command, as
// ISO/IEC 7816-4 clause 5.1.3 spells "normal processing".
constexpr std::uint8_t kSw1Ok = 0x90;
constexpr std::uint8_t kSw2Ok = 0x00;

constexpr std::size_t kProductTextLength = 7;
constexpr std::size_t kVersionTextLength = 4;

// Whether a command takes this many parameter bytes.
bool ParameterCountFits(std::uint8_t command, std::size_t count) {
  switch (command) {
    case kGetAtr:
      return count == 0 || count == 2;  // the host sends 0A 00, which the reader ignores
    case kResetCard:
      return count <= 1;
    case kCommandB0:
    case kCommandD8:
      return count == 2;
    default:
      return count == 0;
  }
}

bool KnownCommand(std::uint8_t command) {
  switch (command) {
    case kStatus:
    case kGetAtr:
    case kEject:
    case kSetUpEnd:
    case kCommandB0:
    case kVersion:
    case kSetUpStart:
    case kResetCard:
    case kTransferStatus:
    case kTransferResult:
    case kCommandD8:
      return true;
    default:
      return false;
  }
}

// The command byte an error reply names: the reader command where there is
// one, else the frame's first byte.
std::uint8_t RefusedCommand(std::span<const std::uint8_t> frame) {
  if (frame.empty()) return 0;
  if (frame[0] == kOldCommandType && frame.size() >= 6) return frame[5];
  if (frame[0] == kNewCommandAddress && frame.size() >= 5) return frame[4];
  return frame[0];
}

}  // namespace

QueuedReply Reader::ErrorReply(std::span<const std::uint8_t> frame, ErrorCode code, DeviceTime readyAt) {
  ++counters_.errorReplies;
  const Generation generation = frame.empty() ? native_ : GenerationOf(frame[0], native_);
  // The new-generation error reply keeps the request's control byte, as
  // every reply does; a frame of unknown type has none.
  const bool hasControl = frame.size() >= 2 && (frame[0] == kNewCommandAddress || frame[0] == kNewCardAddress);
  const std::uint8_t control = hasControl ? frame[1] : 0;
  QueuedReply reply;
  reply.bytes = BuildErrorReply(generation, control, RefusedCommand(frame), code);
  reply.readyAt = readyAt;
  return reply;
}

QueuedReply Reader::CommandReply(Generation generation, std::uint8_t control, std::span<const std::uint8_t> info,
                                 DeviceTime readyAt) const {
  QueuedReply reply;
  reply.bytes = generation == Generation::New ? BuildNewFrame(kNewCommandAddress, control, info)
                                              : BuildOldFrame(kOldCommandType, info);
  reply.readyAt = readyAt;
  return reply;
}

Reader::Replies Reader::HandleCommand(Generation generation, std::span<const std::uint8_t> frame, DeviceTime now) {
  // The frame is complete and at least two information bytes long.
  const std::span<const std::uint8_t> info =
      generation == Generation::Old ? frame.subspan(4) : frame.subspan(3, frame.size() - 4);
  // Every reply carries the control byte of its request, so a host that
  // alternates it can tell a reply to this frame from a stale one.
  const std::uint8_t control = generation == Generation::New ? frame[1] : 0;
  DeviceTime readyAt = now + config_.timing.usbLatency;
  const std::uint8_t command = info[1];
  const std::span<const std::uint8_t> params = info.subspan(2);

  auto fail = [&](ErrorCode code) { return OneReply(ErrorReply(frame, code, readyAt)); };
  // Two leading bytes (the request's own), the data, then 90 00.
  auto answer = [&](std::span<const std::uint8_t> data) {
    if (generation == Generation::New && data.size() + 4 > 255) return fail(ErrorCode::BadLength);
    Bytes out;
    out.reserve(data.size() + 4);
    out.push_back(info[0]);
    out.push_back(command);
    out.insert(out.end(), data.begin(), data.end());
    out.push_back(kSw1Ok);
    out.push_back(kSw2Ok);
    return OneReply(CommandReply(generation, control, out, readyAt));
  };

  if (info[0] == kRestartClass && command == kRestartCommand) {
    if (!params.empty()) return fail(ErrorCode::BadLength);
    PowerDownCard();
    setUp_ = false;
    setUpArmed_ = false;
    transfer_ = OldTransfer{};
    return answer({});
  }
  if (info[0] != kCommandClass || !KnownCommand(command)) return fail(ErrorCode::UnknownCommand);
  if (!ParameterCountFits(command, params.size())) return fail(ErrorCode::BadLength);

  switch (command) {
    case kStatus: {
      const std::uint8_t status = StatusLocked();
      return answer(std::span(&status, 1));
    }
    case kGetAtr: {
      if (!card_) return fail(ErrorCode::NoCard);
      // An unpowered card is activated first, as a cold reset without a
      // parameter would; a powered one answers with the ATR of its last reset.
      if (mode_ == CardFrameMode::None) {
        PowerUpCard(false, std::nullopt);
        readyAt += config_.timing.CardTime(lastAtr_.size());
      }
      return answer(lastAtr_);
    }
    case kEject:
      // The answer's information byte 3 is 0xAD exactly when there was no card.
      if (!card_) return fail(ErrorCode::NoCard);
      PowerDownCard();
      card_.reset();
      ++counters_.ejects;
      return answer({});
    case kSetUpStart:
      setUpArmed_ = true;
      return answer({});
    case kSetUpEnd:
      if (setUpArmed_) setUp_ = true;
      setUpArmed_ = false;
      return answer({});
    case kCommandB0:
      b0Parameter_ = params[1];
      return answer({});
    case kCommandD8:
      d8Parameter_ = params[1];
      return answer({});
    case kVersion: {
      std::string text = config_.productText;
      text.resize(kProductTextLength, ' ');
      std::string version = config_.firmwareVersion;
      version.resize(kVersionTextLength, '0');
      text += version;
      const Bytes data(text.begin(), text.end());
      return answer(data);
    }
    case kResetCard: {
      if (!card_) return fail(ErrorCode::NoCard);
      std::optional<std::uint8_t> parameter;
      if (!params.empty()) parameter = params[0];
      const bool warm = parameter && (*parameter & 0x02) != 0;
      PowerUpCard(warm, parameter);
      // The card sends its ATR on the contacts before the reader answers.
      readyAt += config_.timing.CardTime(lastAtr_.size());
      return answer({});
    }
    case kTransferStatus: {
      const std::uint8_t state = PollTransfer(now);
      return answer(std::span(&state, 1));
    }
    case kTransferResult: {
      // The information field is the card's answer alone, without the two
      // leading bytes and the reader's status bytes.
      if (transfer_.state != TransferState::Answered) return fail(ErrorCode::NoResult);
      if (generation == Generation::New && transfer_.answer.size() > 255) return fail(ErrorCode::BadLength);
      return OneReply(CommandReply(generation, control, transfer_.answer, readyAt));
    }
    default:
      return fail(ErrorCode::UnknownCommand);
  }
}

std::uint8_t Reader::PollTransfer(DeviceTime now) {
  switch (transfer_.state) {
    case TransferState::Started:
    case TransferState::Busy:
      if (transfer_.busyPollsLeft > 0 || now < transfer_.doneAt) {
        // The first poll of a transfer reports 0, the later busy ones 1.
        const auto reported = static_cast<std::uint8_t>(transfer_.state);
        transfer_.state = TransferState::Busy;
        if (transfer_.busyPollsLeft > 0) --transfer_.busyPollsLeft;
        return reported;
      }
      transfer_.state = TransferState::Answered;
      return static_cast<std::uint8_t>(TransferState::Answered);
    case TransferState::Answered:
    case TransferState::Failed:
    case TransferState::None:
      break;
  }
  return static_cast<std::uint8_t>(transfer_.state);
}

}  // namespace emu
