#include "emulator/card/t1_decision.h"

namespace emu::t1 {

namespace {

Action EvaluateIBlock(const ParsedBlock& block, const CardView& view) {
  const std::uint8_t sequence = (block.pcb >> 6) & 0x01;
  const bool more = (block.pcb & 0x20) != 0;
  // Bits 0x1F of an I-block's PCB are reserved. While the card waits for an
  // S-response or for the acknowledgement of its own chained block, an
  // I-block breaks the exchange's rules; so does a wrong N(S).
  if ((block.pcb & 0x1F) != 0 || view.awaitingResponse || view.sendingChain || sequence != view.expected) {
    return Action::RejectOther;
  }
  return more ? Action::TakeChainedI : Action::TakeLastI;
}

Action EvaluateRBlock(const ParsedBlock& block, const CardView& view) {
  if ((block.pcb & 0x2C) != 0 || !block.inf.empty()) {
    return Action::RejectOther;
  }
  if (view.awaitingResponse) {
    return Action::RepeatLast;  // the S-request did not arrive intact
  }
  // N(R) names the I-block the interface device wants next: during the
  // card's chain, the next one acknowledges the last; the last one asks for
  // it again, whatever the error code says.
  const std::uint8_t nr = (block.pcb >> 4) & 0x01;
  if (view.sendingChain) {
    return nr == view.nextSend ? Action::SendNextChunk : Action::RepeatLastI;
  }
  switch (view.last) {
    case CardView::Last::Nothing:
      return Action::RejectOther;
    case CardView::Last::IBlock:
      // An acknowledgement of an unchained I-block has no meaning.
      return nr == (view.nextSend ^ 1) ? Action::RepeatLast : Action::RejectOther;
    case CardView::Last::Other:
      return Action::RepeatLast;
  }
  return Action::RejectOther;
}

Action EvaluateSBlock(const ParsedBlock& block, const CardView& view) {
  const std::uint8_t type = block.pcb & 0x3F;
  const bool empty = block.inf.empty();
  const bool oneByte = block.inf.size() == 1;
  switch (type) {
    case static_cast<std::uint8_t>(SType::Resynch):
      return empty ? Action::Resynchronise : Action::RejectOther;
    case static_cast<std::uint8_t>(SType::Ifs):
      // IFSD 0x00 and 0xFF are reserved (ISO/IEC 7816-3 clause 11.4).
      if (view.awaitingResponse || !oneByte || block.inf[0] == 0x00 || block.inf[0] == 0xFF) {
        return Action::RejectOther;
      }
      return Action::AnswerIfs;
    case static_cast<std::uint8_t>(SType::Abort):
      return !view.awaitingResponse && empty ? Action::AnswerAbort : Action::RejectOther;
    default:
      break;
  }
  // Only a response to the request the card has open is accepted; IFS and
  // WTX responses echo the request's INF.
  if ((type & 0x3C) != kSResponse || !view.awaitingResponse || (type & 0x03) != view.requestType) {
    return Action::RejectOther;
  }
  const bool carriesInf = view.requestType == static_cast<std::uint8_t>(SType::Ifs) ||
                          view.requestType == static_cast<std::uint8_t>(SType::Wtx);
  if (carriesInf ? (oneByte && block.inf[0] == view.requestInf) : empty) {
    return Action::TakeSResponse;
  }
  return Action::RejectOther;
}

}  // namespace

Action Evaluate(const ParsedBlock& block, const CardView& view) {
  if (IsUnreadable(block.defect)) {
    return Action::RejectEdc;
  }
  if (block.defect != Defect::None) {
    return Action::RejectOther;
  }
  if ((block.pcb & 0x80) == 0) {
    return EvaluateIBlock(block, view);
  }
  if ((block.pcb & 0x40) == 0) {
    return EvaluateRBlock(block, view);
  }
  return EvaluateSBlock(block, view);
}

}  // namespace emu::t1
