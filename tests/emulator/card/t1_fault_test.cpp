#include <gtest/gtest.h>

#include "emulator/card/card.h"
#include "tests/emulator/card/card_test_helpers.h"

namespace emu {
namespace {

using Kind = T1Fault::Kind;

// host I(0): generate 0 bytes (80 20 00 00); the card's answer I(0): 90 00.
const Bytes kCommandNs0{0x52, 0x00, 0x04, 0x80, 0x20, 0x00, 0x00, 0xF6};
const Bytes kCommandNs1{0x52, 0x40, 0x04, 0x80, 0x20, 0x00, 0x00, 0xB6};
const Bytes kAnswerNs0{0x25, 0x00, 0x02, 0x90, 0x00, 0xB7};
const Bytes kAnswerNs1{0x25, 0x40, 0x02, 0x90, 0x00, 0xF7};
const Bytes kHostRepeatEdc{0x52, 0x81, 0x00, 0xD3};    // R(0), EDC error
const Bytes kHostRepeatOther{0x52, 0x82, 0x00, 0xD0};  // R(0), other error

T1Fault Fault(Kind kind, std::uint8_t value = 0, std::uint8_t inf = 0, Bytes raw = {}) {
  T1Fault fault;
  fault.kind = kind;
  fault.value = value;
  fault.inf = inf;
  fault.raw = std::move(raw);
  return fault;
}

Bytes Exchange(Card& card, const Bytes& block) {
  const std::optional<Bytes> answer = card.ExchangeT1Block(block);
  EXPECT_TRUE(answer.has_value());
  return answer.value_or(Bytes{});
}

// One host block and the card's exact answer.
struct Step {
  const char* note;
  Bytes host;
  Bytes card;
};

void RunSteps(Card& card, std::initializer_list<Step> steps) {
  for (const Step& step : steps) {
    EXPECT_EQ(Exchange(card, step.host), step.card) << step.note;
  }
}

TEST(CardT1Faults, SpoiledAnswersAreSentCorrectlyWhenRepeated) {
  Card badLrc = test::PoweredCard();
  badLrc.ScriptT1Fault(Fault(Kind::BadLrc));
  RunSteps(badLrc, {
      {"check byte B7 ^ FF", kCommandNs0, {0x25, 0x00, 0x02, 0x90, 0x00, 0x48}},
      {"repeat", kHostRepeatEdc, kAnswerNs0},
  });

  Card wrongSequence = test::PoweredCard();
  wrongSequence.ScriptT1Fault(Fault(Kind::WrongSequence));
  RunSteps(wrongSequence, {
      {"N(S) 1 with a matching check byte", kCommandNs0, kAnswerNs1},
      {"repeat", kHostRepeatOther, kAnswerNs0},
  });

  Card garbage = test::PoweredCard();
  garbage.ScriptT1Fault(Fault(Kind::Garbage, 0, 0, {0xDE, 0xAD, 0xBE}));
  RunSteps(garbage, {
      {"raw bytes", kCommandNs0, {0xDE, 0xAD, 0xBE}},
      {"repeat", kHostRepeatEdc, kAnswerNs0},
  });
}

TEST(CardT1Faults, AWrongSequenceWaitsForTheNextIBlock) {
  Card card = test::PoweredCard();
  card.ScriptT1Fault(Fault(Kind::WrongSequence));
  RunSteps(card, {
      // host I(0,M): 80                      card R(1) is left alone
      {"chained first byte", {0x52, 0x20, 0x01, 0x80, 0xF3}, {0x25, 0x90, 0x00, 0xB5}},
      // host I(1): 20 00 00                  card I(1) instead of I(0)
      {"rest of the command", {0x52, 0x40, 0x03, 0x20, 0x00, 0x00, 0x31}, kAnswerNs1},
  });
  EXPECT_EQ(card.PendingT1Faults(), 0u);
}

TEST(CardT1Faults, AnRBlockStandsInForTheAnswerAndTheCardStaysPut) {
  const Bytes rBlocks[] = {
      {0x25, 0x80, 0x00, 0xA5},  // code 0
      {0x25, 0x81, 0x00, 0xA4},  // code 1, EDC error
      {0x25, 0x82, 0x00, 0xA7},  // code 2, other error
      {0x25, 0x83, 0x00, 0xA6},  // code 3
  };
  for (std::uint8_t code = 0; code < 4; ++code) {
    Card card = test::PoweredCard();
    card.ScriptT1Fault(Fault(Kind::RBlock, code));
    EXPECT_EQ(Exchange(card, kCommandNs0), rBlocks[code]) << int{code};
    EXPECT_EQ(Exchange(card, kCommandNs0), kAnswerNs0) << int{code};
  }
}

TEST(CardT1Faults, AWtxRequestPostponesTheAnswer) {
  Card card = test::PoweredCard();
  card.ScriptT1Fault(Fault(Kind::SRequest, 3, 0x05));
  RunSteps(card, {
      {"S(WTX request) 05", kCommandNs0, {0x25, 0xC3, 0x01, 0x05, 0xE2}},
      {"the host asks again", {0x52, 0x80, 0x00, 0xD2}, {0x25, 0xC3, 0x01, 0x05, 0xE2}},
      // An IFS response does not answer a WTX request: R(1), other error.
      {"wrong response", {0x52, 0xE1, 0x01, 0x05, 0xB7}, {0x25, 0x92, 0x00, 0xB7}},
      {"S(WTX response) 05", {0x52, 0xE3, 0x01, 0x05, 0xB5}, kAnswerNs0},
  });
}

TEST(CardT1Faults, AnIfsRequestChangesWhatTheCardAccepts) {
  Card card = test::PoweredCard();
  card.ScriptT1Fault(Fault(Kind::SRequest, 1, 0x40));
  RunSteps(card, {
      {"S(IFS request) 40", kCommandNs0, {0x25, 0xC1, 0x01, 0x40, 0xA5}},
      {"S(IFS response) 40", {0x52, 0xE1, 0x01, 0x40, 0xF2}, kAnswerNs0},
  });
  EXPECT_EQ(card.T1Ifsc(), 0x40);
  // 65 bytes no longer fit: R(1), other error.
  EXPECT_EQ(Exchange(card, test::HostBlock(0x40, Bytes(0x41, 0x00))), (Bytes{0x25, 0x92, 0x00, 0xB7}));
}

TEST(CardT1Faults, AnAbortRequestWindsTheSequenceBack) {
  Card card = test::PoweredCard();
  card.ScriptT1Fault(Fault(Kind::SRequest, 2));
  RunSteps(card, {
      {"S(ABORT request)", kCommandNs0, {0x25, 0xC2, 0x00, 0xE7}},
      // The host's I(0) was never acknowledged: R(0) hands the turn back.
      {"S(ABORT response)", {0x52, 0xE2, 0x00, 0xB0}, {0x25, 0x80, 0x00, 0xA5}},
      {"the host sends I(0) again", kCommandNs0, kAnswerNs0},
  });
}

TEST(CardT1Faults, AnAbortRequestInTheCardsChainKeepsWhatWasDelivered) {
  Card card = test::PoweredCard();
  // Generate 64 with Le 00: 66 bytes, the first 32 in I(0,M).
  const Bytes first = Exchange(card, test::HostBlock(0x00, {0x80, 0x20, 0x00, 0x40, 0x00}));
  EXPECT_EQ(first[1], 0x20);
  card.ScriptT1Fault(Fault(Kind::SRequest, 2));
  RunSteps(card, {
      {"S(ABORT request) instead of I(1,M)", {0x52, 0x90, 0x00, 0xC2}, {0x25, 0xC2, 0x00, 0xE7}},
      {"S(ABORT response): R(1)", {0x52, 0xE2, 0x00, 0xB0}, {0x25, 0x90, 0x00, 0xB5}},
      {"next command is I(1), so is the answer", kCommandNs1, kAnswerNs1},
  });
}

TEST(CardT1Faults, AResynchRequestFromTheCardStartsAfresh) {
  Card card = test::PoweredCard();
  card.ScriptT1Fault(Fault(Kind::SRequest, 0));
  RunSteps(card, {
      {"S(RESYNCH request)", kCommandNs0, {0x25, 0xC0, 0x00, 0xE5}},
      {"S(RESYNCH response): R(0)", {0x52, 0xE0, 0x00, 0xB2}, {0x25, 0x80, 0x00, 0xA5}},
      {"I(0) again", kCommandNs0, kAnswerNs0},
  });
}

TEST(CardT1Faults, SilenceSwallowsTheBlockUnanswered) {
  Card card = test::PoweredCard();
  card.ScriptT1Fault(Fault(Kind::Silence));
  EXPECT_FALSE(card.ExchangeT1Block(kCommandNs0).has_value());
  EXPECT_EQ(card.T1BlocksReceived().size(), 1u);
  EXPECT_TRUE(card.T1BlocksSent().empty());
  RunSteps(card, {
      {"the host's R(0): nothing to repeat", kHostRepeatOther, {0x25, 0x82, 0x00, 0xA7}},
      {"the host repeats I(0)", kCommandNs0, kAnswerNs0},
  });
}

TEST(CardT1Faults, AreUsedInOrder) {
  Card card = test::PoweredCard();
  card.ScriptT1Fault(Fault(Kind::BadLrc));
  card.ScriptT1Fault(Fault(Kind::Silence));
  card.ScriptT1Fault(Fault(Kind::Garbage, 0, 0, {0x00}));
  EXPECT_EQ(card.PendingT1Faults(), 3u);
  EXPECT_EQ(Exchange(card, kCommandNs0), (Bytes{0x25, 0x00, 0x02, 0x90, 0x00, 0x48}));
  EXPECT_FALSE(card.ExchangeT1Block(kHostRepeatEdc).has_value());
  EXPECT_EQ(Exchange(card, kHostRepeatEdc), (Bytes{0x00}));
  EXPECT_EQ(Exchange(card, kHostRepeatEdc), kAnswerNs0);
  EXPECT_EQ(card.PendingT1Faults(), 0u);
  EXPECT_EQ(card.T1BlocksSent().size(), 3u);
}

}  // namespace
}  // namespace emu
