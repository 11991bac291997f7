#include <gtest/gtest.h>

#include "emulator/card/t1_decision.h"
#include "tests/emulator/card/card_test_helpers.h"

namespace emu::t1 {
namespace {

using test::HostBlock;
using test::WithLrc;

TEST(CardT1ParseBlock, ChecksEveryLengthWhereTheBlockEnters) {
  struct Case {
    const char* note;
    Bytes block;
    Defect defect;
  };
  const Case cases[] = {
      {"nothing", {}, Defect::TooShort},
      {"three bytes", {0x52, 0x00, 0x00}, Defect::TooShort},
      // NAD PCB LEN=5 and only four bytes of INF and LRC
      {"LEN says 5, 4 follow", {0x52, 0x00, 0x05, 0x00, 0xA4, 0x00, 0x00, 0xF3}, Defect::LengthMismatch},
      {"LEN says 0, one more byte", {0x52, 0x00, 0x00, 0x52, 0x00}, Defect::LengthMismatch},
      // I(0) with an empty INF: the LRC should be 52
      {"wrong LRC", {0x52, 0x00, 0x00, 0x53}, Defect::BadLrc},
      {"LEN FF", HostBlock(0x00, Bytes(255, 0x11)), Defect::ReservedLength},
      {"I-block INF 33 > IFSC 32", HostBlock(0x00, Bytes(33, 0x11)), Defect::InfTooLong},
      {"I-block INF 32", HostBlock(0x00, Bytes(32, 0x11)), Defect::None},
      {"S-block INF is not bound by IFSC", WithLrc({0x52, 0xC1, 0x01, 0x80}), Defect::None},
      {"R(0)", {0x52, 0x80, 0x00, 0xD2}, Defect::None},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseBlock(c.block, 32).defect, c.defect) << c.note;
  }
  const Bytes block{0x52, 0x40, 0x02, 0x90, 0x00, 0x80};
  const ParsedBlock parsed = ParseBlock(block, 32);
  EXPECT_EQ(parsed.pcb, 0x40);
  EXPECT_EQ(Bytes(parsed.inf.begin(), parsed.inf.end()), (Bytes{0x90, 0x00}));
}

// Card states the table below refers to.
CardView Fresh() { return {}; }

CardView AfterAnswer() {  // sent I(0) unchained after the host's I(0)
  CardView view;
  view.expected = 1;
  view.nextSend = 1;
  view.last = CardView::Last::IBlock;
  return view;
}

CardView SendingChain() {  // sent I(0) with M after the host's I(0)
  CardView view = AfterAnswer();
  view.sendingChain = true;
  return view;
}

CardView ReceivingChain() {  // acknowledged the host's I(0) with M by R(1)
  CardView view;
  view.expected = 1;
  view.last = CardView::Last::Other;
  return view;
}

CardView Awaiting(SType type, std::uint8_t inf) {
  CardView view = ReceivingChain();
  view.awaitingResponse = true;
  view.requestType = static_cast<std::uint8_t>(type);
  view.requestInf = inf;
  return view;
}

struct Case {
  const char* note;
  Bytes block;
  CardView view;
  Action action;
};

TEST(CardT1Evaluate, DecidesEachBlockAgainstTheCardState) {
  const Case cases[] = {
      // I-blocks: 52 PCB LEN INF LRC
      {"I(0) first", HostBlock(0x00, {0xAA}), Fresh(), Action::TakeLastI},
      {"I(0) with M", HostBlock(0x20, {0xAA}), Fresh(), Action::TakeChainedI},
      {"I(1) when 0 is expected", HostBlock(0x40, {0xAA}), Fresh(), Action::RejectOther},
      {"I-block, reserved PCB bit", HostBlock(0x01, {0xAA}), Fresh(), Action::RejectOther},
      {"I(1) after the answer", HostBlock(0x40, {0xAA}), AfterAnswer(), Action::TakeLastI},
      {"I(1) instead of acknowledging", HostBlock(0x40, {0xAA}), SendingChain(), Action::RejectOther},
      {"I(1) during an S exchange", HostBlock(0x40, {0xAA}), Awaiting(SType::Wtx, 5), Action::RejectOther},
      {"I(1) continuing the host's chain", HostBlock(0x40, {0xAA}), ReceivingChain(), Action::TakeLastI},
      // R-blocks: 52 8x/9x 00 LRC
      {"R(1) acknowledges the chain", {0x52, 0x90, 0x00, 0xC2}, SendingChain(), Action::SendNextChunk},
      {"R(0) asks for I(0) again", {0x52, 0x80, 0x00, 0xD2}, SendingChain(), Action::RepeatLastI},
      {"R(0), EDC error", {0x52, 0x81, 0x00, 0xD3}, SendingChain(), Action::RepeatLastI},
      {"R(0) after an unchained I(0)", {0x52, 0x82, 0x00, 0xD0}, AfterAnswer(), Action::RepeatLast},
      {"R(1) acknowledging an unchained I(0)", {0x52, 0x90, 0x00, 0xC2}, AfterAnswer(), Action::RejectOther},
      {"R-block before the card sent anything", {0x52, 0x80, 0x00, 0xD2}, Fresh(), Action::RejectOther},
      {"R-block after the card's R(1)", {0x52, 0x81, 0x00, 0xD3}, ReceivingChain(), Action::RepeatLast},
      {"R-block during an S exchange", {0x52, 0x80, 0x00, 0xD2}, Awaiting(SType::Wtx, 5), Action::RepeatLast},
      {"R-block, reserved PCB bit", WithLrc({0x52, 0xA0, 0x00}), AfterAnswer(), Action::RejectOther},
      {"R-block with INF", WithLrc({0x52, 0x80, 0x01, 0x00}), AfterAnswer(), Action::RejectOther},
      // S-blocks from the interface device
      {"RESYNCH request", {0x52, 0xC0, 0x00, 0x92}, Awaiting(SType::Wtx, 5), Action::Resynchronise},
      {"RESYNCH request with INF", WithLrc({0x52, 0xC0, 0x01, 0x00}), Fresh(), Action::RejectOther},
      {"IFS request 80", {0x52, 0xC1, 0x01, 0x80, 0x12}, AfterAnswer(), Action::AnswerIfs},
      {"IFS request 00 is reserved", WithLrc({0x52, 0xC1, 0x01, 0x00}), AfterAnswer(), Action::RejectOther},
      {"IFS request FF is reserved", WithLrc({0x52, 0xC1, 0x01, 0xFF}), AfterAnswer(), Action::RejectOther},
      {"IFS request without INF", WithLrc({0x52, 0xC1, 0x00}), AfterAnswer(), Action::RejectOther},
      {"IFS request during an S exchange", {0x52, 0xC1, 0x01, 0x80, 0x12}, Awaiting(SType::Wtx, 5),
       Action::RejectOther},
      {"ABORT request", {0x52, 0xC2, 0x00, 0x90}, SendingChain(), Action::AnswerAbort},
      {"WTX request is the card's to send", {0x52, 0xC3, 0x01, 0x05, 0x95}, AfterAnswer(), Action::RejectOther},
      {"WTX response echoing 05", {0x52, 0xE3, 0x01, 0x05, 0xB5}, Awaiting(SType::Wtx, 5), Action::TakeSResponse},
      {"WTX response with another INF", WithLrc({0x52, 0xE3, 0x01, 0x06}), Awaiting(SType::Wtx, 5),
       Action::RejectOther},
      {"IFS response to a WTX request", {0x52, 0xE1, 0x01, 0x05, 0xB7}, Awaiting(SType::Wtx, 5),
       Action::RejectOther},
      {"WTX response nobody asked for", {0x52, 0xE3, 0x01, 0x05, 0xB5}, AfterAnswer(), Action::RejectOther},
      {"IFS response echoing 40", {0x52, 0xE1, 0x01, 0x40, 0xF2}, Awaiting(SType::Ifs, 0x40),
       Action::TakeSResponse},
      {"ABORT response", {0x52, 0xE2, 0x00, 0xB0}, Awaiting(SType::Abort, 0), Action::TakeSResponse},
      {"RESYNCH response", {0x52, 0xE0, 0x00, 0xB2}, Awaiting(SType::Resynch, 0), Action::TakeSResponse},
      {"S type 05", WithLrc({0x52, 0xC5, 0x00}), AfterAnswer(), Action::RejectOther},
      // Defects come first
      {"bad LRC", {0x52, 0x00, 0x00, 0x53}, Fresh(), Action::RejectEdc},
      {"too short", {0x52, 0x00}, Fresh(), Action::RejectEdc},
      {"LEN FF", HostBlock(0x00, Bytes(255, 0)), Fresh(), Action::RejectOther},
      {"INF beyond IFSC", HostBlock(0x00, Bytes(33, 0)), Fresh(), Action::RejectOther},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Evaluate(ParseBlock(c.block, 32), c.view), c.action) << c.note;
  }
}

}  // namespace
}  // namespace emu::t1
