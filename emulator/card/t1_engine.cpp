#include "emulator/card/t1_engine.h"

#include <algorithm>

#include "emulator/card/apdu_service.h"
#include "emulator/card/card.h"

namespace emu {

using t1::Action;

T1Engine::T1Engine(std::uint8_t ifsc, std::uint8_t ifsd)
    : initialIfsc_(ifsc),
      // A zero IFSD would make every chained block empty, so the card never finishes.
      initialIfsd_(std::clamp<std::uint8_t>(ifsd, 1, t1::kMaxInf)) {
  Reset();
}

void T1Engine::Reset() {
  ifsc_ = initialIfsc_;
  ifsd_ = initialIfsd_;
  nad_ = 0;
  expected_ = 0;
  nextSend_ = 0;
  DropChains();
  lastBlock_.clear();
  lastIBlock_.clear();
  awaitingResponse_ = false;
  owed_.clear();
  owedLast_.clear();
  owedBefore_ = {};
}

std::optional<Bytes> T1Engine::Exchange(std::span<const std::uint8_t> block, std::deque<T1Fault>& faults,
                                        ApduService& service) {
  const t1::ParsedBlock parsed = t1::ParseBlock(block, ifsc_);
  if (!t1::IsUnreadable(parsed.defect)) {
    nad_ = t1::AnswerNad(parsed.nad);
  }
  // A silence or an R-block fault acts as if the block had not arrived
  // intact: the card's state does not move, so the interface device's
  // retransmission is accepted afterwards.
  if (!faults.empty() && faults.front().kind == T1Fault::Kind::Silence) {
    faults.pop_front();
    return std::nullopt;
  }
  if (!faults.empty() && faults.front().kind == T1Fault::Kind::RBlock) {
    const std::uint8_t error = faults.front().value & 0x03;
    faults.pop_front();
    return t1::BuildRBlock(nad_, expected_, error);
  }
  Rollback before{expected_, nextSend_, lastIBlock_};
  std::optional<Bytes> out = Carry(t1::Evaluate(parsed, View()), parsed, service, before);
  if (!out) return std::nullopt;
  return ApplySendFault(std::move(*out), faults, before);
}

t1::CardView T1Engine::View() const {
  t1::CardView view;
  view.expected = expected_;
  view.nextSend = nextSend_;
  view.sendingChain = sendingChain_;
  if (lastBlock_.empty()) {
    view.last = t1::CardView::Last::Nothing;
  } else {
    view.last = t1::IsIBlock(lastBlock_) ? t1::CardView::Last::IBlock : t1::CardView::Last::Other;
  }
  view.awaitingResponse = awaitingResponse_;
  view.requestType = requestType_;
  view.requestInf = requestInf_;
  return view;
}

std::optional<Bytes> T1Engine::Carry(Action action, const t1::ParsedBlock& block, ApduService& service,
                                     Rollback& before) {
  switch (action) {
    case Action::RejectEdc:
      return t1::BuildRBlock(nad_, expected_, t1::kEdcError);
    case Action::RejectOther:
      return t1::BuildRBlock(nad_, expected_, t1::kOtherError);
    case Action::TakeChainedI:
      Keep(block.inf);
      expected_ ^= 1;
      return Remember(t1::BuildRBlock(nad_, expected_, t1::kNoError));
    case Action::TakeLastI: {
      Keep(block.inf);
      expected_ ^= 1;
      std::optional<Bytes> response =
          commandOverflow_ ? std::optional<Bytes>(StatusOnly(sw::kWrongLength)) : service.AnswerApdu(command_);
      command_.clear();
      commandOverflow_ = false;
      if (!response) return std::nullopt;
      response_ = std::move(*response);
      responseOffset_ = 0;
      return NextChunk();
    }
    case Action::SendNextChunk:
      return NextChunk();
    case Action::RepeatLastI:
      return Remember(lastIBlock_);
    case Action::RepeatLast:
      return lastBlock_;
    case Action::Resynchronise:
      // Both sequence numbers start again at 0 and every chain is forgotten;
      // the information field sizes keep their values.
      expected_ = 0;
      nextSend_ = 0;
      DropChains();
      lastIBlock_.clear();
      awaitingResponse_ = false;
      owed_.clear();
      return Remember(t1::BuildSBlock(nad_, t1::kSResponse | static_cast<std::uint8_t>(t1::SType::Resynch),
                                      std::nullopt));
    case Action::AnswerIfs:
      ifsd_ = block.inf[0];
      return Remember(t1::BuildSBlock(nad_, t1::kSResponse | static_cast<std::uint8_t>(t1::SType::Ifs),
                                      block.inf[0]));
    case Action::AnswerAbort:
      DropChains();
      return Remember(t1::BuildSBlock(nad_, t1::kSResponse | static_cast<std::uint8_t>(t1::SType::Abort),
                                      std::nullopt));
    case Action::TakeSResponse:
      return TakeSResponse(before);
  }
  return t1::BuildRBlock(nad_, expected_, t1::kOtherError);
}

Bytes T1Engine::TakeSResponse(Rollback& before) {
  awaitingResponse_ = false;
  switch (static_cast<t1::SType>(requestType_)) {
    case t1::SType::Ifs:
      ifsc_ = requestInf_;
      [[fallthrough]];
    case t1::SType::Wtx: {
      // The answer that was owed goes out now; a fault on it rolls back to
      // the state before it, as the request's own would have.
      before = owedBefore_;
      lastBlock_ = std::move(owedLast_);
      Bytes owed = std::move(owed_);
      owed_.clear();
      return owed;
    }
    case t1::SType::Abort:
      // The chain ends. The block the request answered was never
      // acknowledged, so the interface device will send its N(S) again.
      expected_ = owedBefore_.expected;
      nextSend_ = owedBefore_.nextSend;
      lastIBlock_ = owedBefore_.lastIBlock;
      break;
    case t1::SType::Resynch:
      expected_ = 0;
      nextSend_ = 0;
      lastIBlock_.clear();
      break;
  }
  DropChains();
  owed_.clear();
  // An R-block gives the interface device back the right to send (ISO/IEC 7816-3 clause 11.6).
  return Remember(t1::BuildRBlock(nad_, expected_, t1::kNoError));
}

Bytes T1Engine::ApplySendFault(Bytes out, std::deque<T1Fault>& faults, const Rollback& before) {
  if (faults.empty()) {
    return out;
  }
  const T1Fault& fault = faults.front();
  switch (fault.kind) {
    case T1Fault::Kind::BadLrc:
      if (!out.empty()) {
        out.back() ^= 0xFF;
      }
      break;
    case T1Fault::Kind::WrongSequence:
      // Waits, in front of the queue, for the card's next I-block.
      if (!t1::IsIBlock(out)) {
        return out;
      }
      out[1] ^= 0x40;
      out.back() = t1::Lrc(std::span<const std::uint8_t>(out).first(out.size() - 1));
      break;
    case T1Fault::Kind::SRequest: {
      // One open request at a time: this one waits until the last is answered.
      if (awaitingResponse_) {
        return out;
      }
      owedLast_ = lastBlock_;
      owedBefore_ = before;
      owed_ = std::move(out);
      awaitingResponse_ = true;
      requestType_ = fault.value & 0x03;
      requestInf_ = fault.inf;
      const bool carriesInf = requestType_ == static_cast<std::uint8_t>(t1::SType::Ifs) ||
                              requestType_ == static_cast<std::uint8_t>(t1::SType::Wtx);
      out = t1::BuildSBlock(nad_, requestType_, carriesInf ? std::optional<std::uint8_t>(requestInf_) : std::nullopt);
      lastBlock_ = out;
      break;
    }
    case T1Fault::Kind::Garbage:
      out = fault.raw;
      break;
    case T1Fault::Kind::Silence:
    case T1Fault::Kind::RBlock:
    case T1Fault::Kind::Corrupt:
      return out;  // these act on the next block received
  }
  faults.pop_front();
  return out;
}

void T1Engine::Keep(std::span<const std::uint8_t> inf) {
  // An oversized chain is kept no further; its last block is answered with 6700.
  if (commandOverflow_ || command_.size() + inf.size() > kMaxCommand) {
    commandOverflow_ = true;
    return;
  }
  command_.insert(command_.end(), inf.begin(), inf.end());
}

Bytes T1Engine::NextChunk() {
  const std::size_t rest = response_.size() - responseOffset_;
  const std::size_t length = std::min<std::size_t>(rest, ifsd_);
  const bool more = rest > length;
  Bytes block = t1::BuildIBlock(nad_, nextSend_, more,
                                std::span<const std::uint8_t>(response_).subspan(responseOffset_, length));
  nextSend_ ^= 1;
  responseOffset_ += length;
  sendingChain_ = more;
  if (!more) {
    response_.clear();
    responseOffset_ = 0;
  }
  lastIBlock_ = block;
  return Remember(std::move(block));
}

Bytes T1Engine::Remember(Bytes block) {
  lastBlock_ = block;
  return block;
}

void T1Engine::DropChains() {
  command_.clear();
  commandOverflow_ = false;
  response_.clear();
  responseOffset_ = 0;
  sendingChain_ = false;
}

}  // namespace emu
