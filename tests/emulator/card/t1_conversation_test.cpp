#include <gtest/gtest.h>

#include "emulator/card/card.h"
#include "tests/emulator/card/card_test_helpers.h"

namespace emu {
namespace {

using test::Concat;
using test::HostBlock;
using test::Ramp;
using test::WithLrc;

Bytes Exchange(Card& card, const Bytes& block) {
  const std::optional<Bytes> answer = card.ExchangeT1Block(block);
  EXPECT_TRUE(answer.has_value());
  return answer.value_or(Bytes{});
}

// The card's block, NAD 0x25, with the check byte computed here.
Bytes CardBlock(std::uint8_t pcb, const Bytes& inf) {
  return WithLrc(Concat({{0x25, pcb, static_cast<std::uint8_t>(inf.size())}, inf}));
}

TEST(CardT1Conversation, AnswersSingleBlocksWithAlternatingSequenceNumbers) {
  Card card = test::PoweredCard();
  const Bytes exchanges[][2] = {
      // host I(0): SELECT MF, Le 00          card I(0): FCI, 90 00
      {{0x52, 0x00, 0x05, 0x00, 0xA4, 0x00, 0x00, 0x00, 0xF3},
       {0x25, 0x00, 0x15, 0x6F, 0x11, 0x82, 0x01, 0x38, 0x83, 0x02, 0x3F, 0x00, 0x84, 0x08, 0xF0, 0x45, 0x4D,
        0x55, 0x43, 0x41, 0x52, 0x44, 0x90, 0x00, 0xEE}},
      // host I(1): SELECT EF 0101, no answer  card I(1): 90 00
      {{0x52, 0x40, 0x07, 0x00, 0xA4, 0x00, 0x0C, 0x02, 0x01, 0x01, 0xBF}, {0x25, 0x40, 0x02, 0x90, 0x00, 0xF7}},
      // host I(0): READ BINARY 4             card I(0): A5 A4 A7 A6 90 00
      {{0x52, 0x00, 0x05, 0x00, 0xB0, 0x00, 0x00, 0x04, 0xE3},
       {0x25, 0x00, 0x06, 0xA5, 0xA4, 0xA7, 0xA6, 0x90, 0x00, 0xB3}},
      // host R(0), EDC error: asks for I(0) again
      {{0x52, 0x81, 0x00, 0xD3}, {0x25, 0x00, 0x06, 0xA5, 0xA4, 0xA7, 0xA6, 0x90, 0x00, 0xB3}},
  };
  for (const auto& exchange : exchanges) {
    EXPECT_EQ(Exchange(card, exchange[0]), exchange[1]);
  }
  ASSERT_EQ(card.T1BlocksReceived().size(), 4u);
  ASSERT_EQ(card.T1BlocksSent().size(), 4u);
  EXPECT_EQ(card.T1BlocksReceived()[1], exchanges[1][0]);
  EXPECT_EQ(card.T1BlocksSent()[2], exchanges[2][1]);
}

TEST(CardT1Conversation, ChainsACommandInAndItsAnswerOut) {
  Card card = test::PoweredCard();
  // Echo, case 4S: 80 22 00 00 5E, 94 data bytes, Le 00: 100 bytes.
  const Bytes data = Ramp(94, 0x10);
  const Bytes command = Concat({{0x80, 0x22, 0x00, 0x00, 0x5E}, data, {0x00}});
  const Bytes answer = Concat({data, {0x90, 0x00}});
  const auto part = [](const Bytes& bytes, std::size_t from, std::size_t count) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
  };
  // With IFSC 32 the command goes in as I(0,M) I(1,M) I(0,M) I(1), each acknowledged by R(N(R)).
  EXPECT_EQ(Exchange(card, HostBlock(0x20, part(command, 0, 32))), (Bytes{0x25, 0x90, 0x00, 0xB5}));
  EXPECT_EQ(Exchange(card, HostBlock(0x60, part(command, 32, 32))), (Bytes{0x25, 0x80, 0x00, 0xA5}));
  EXPECT_EQ(Exchange(card, HostBlock(0x20, part(command, 64, 32))), (Bytes{0x25, 0x90, 0x00, 0xB5}));
  // The 96-byte answer comes out as I(0,M) I(1,M) I(0) with IFSD 32.
  EXPECT_EQ(Exchange(card, HostBlock(0x40, part(command, 96, 4))), CardBlock(0x20, part(answer, 0, 32)));
  EXPECT_EQ(Exchange(card, {0x52, 0x90, 0x00, 0xC2}), CardBlock(0x60, part(answer, 32, 32)));
  // A repeat request in the middle of the chain gets the same block again.
  EXPECT_EQ(Exchange(card, {0x52, 0x91, 0x00, 0xC3}), CardBlock(0x60, part(answer, 32, 32)));
  EXPECT_EQ(Exchange(card, {0x52, 0x80, 0x00, 0xD2}), CardBlock(0x00, part(answer, 64, 32)));
}

// Generate 298 bytes, extended Le 0000: a 300-byte answer.
const Bytes kGenerate298{0x80, 0x20, 0x01, 0x2A, 0x00, 0x00, 0x00};

void ExpectChainedAnswer(Card& card, const Bytes& answer, std::size_t ifsd) {
  Bytes got = Exchange(card, HostBlock(0x00, kGenerate298));
  std::uint8_t sequence = 0;
  for (std::size_t offset = 0; offset < answer.size(); offset += ifsd) {
    const std::size_t count = std::min(ifsd, answer.size() - offset);
    const bool more = offset + count < answer.size();
    const Bytes inf(answer.begin() + static_cast<std::ptrdiff_t>(offset),
                    answer.begin() + static_cast<std::ptrdiff_t>(offset + count));
    ASSERT_EQ(got, CardBlock(static_cast<std::uint8_t>((sequence << 6) | (more ? 0x20 : 0x00)), inf))
        << "block at " << offset;
    sequence ^= 1;
    if (more) {
      got = Exchange(card, WithLrc({0x52, static_cast<std::uint8_t>(0x80 | (sequence << 4)), 0x00}));
    }
  }
}

TEST(CardT1Conversation, SendsALongAnswerInIfsdSizedBlocks) {
  Card card = test::PoweredCard();
  ExpectChainedAnswer(card, Concat({Ramp(298), {0x90, 0x00}}), 32);  // nine blocks of 32, one of 12
}

TEST(CardT1Conversation, AnIfsRequestChangesTheSendingSize) {
  Card card = test::PoweredCard();
  EXPECT_EQ(Exchange(card, {0x52, 0xC1, 0x01, 0x80, 0x12}), (Bytes{0x25, 0xE1, 0x01, 0x80, 0x45}));
  EXPECT_EQ(card.T1Ifsd(), 0x80);
  ExpectChainedAnswer(card, Concat({Ramp(298), {0x90, 0x00}}), 128);  // 128, 128, 44
}

TEST(CardT1Conversation, ResynchSetsBothSequenceNumbersBackToZero) {
  Card card = test::PoweredCard();
  const Bytes generate0Ns0{0x52, 0x00, 0x04, 0x80, 0x20, 0x00, 0x00, 0xF6};
  const Bytes generate0Ns1{0x52, 0x40, 0x04, 0x80, 0x20, 0x00, 0x00, 0xB6};
  EXPECT_EQ(Exchange(card, generate0Ns0), (Bytes{0x25, 0x00, 0x02, 0x90, 0x00, 0xB7}));
  EXPECT_EQ(Exchange(card, generate0Ns1), (Bytes{0x25, 0x40, 0x02, 0x90, 0x00, 0xF7}));
  EXPECT_EQ(Exchange(card, {0x52, 0xC0, 0x00, 0x92}), (Bytes{0x25, 0xE0, 0x00, 0xC5}));
  EXPECT_EQ(Exchange(card, generate0Ns0), (Bytes{0x25, 0x00, 0x02, 0x90, 0x00, 0xB7}));
}

TEST(CardT1Conversation, AnAbortRequestDropsTheCardsChain) {
  Card card = test::PoweredCard();
  // Generate 64 with Le 00: 66 bytes, so the card starts a chain with I(0,M).
  EXPECT_EQ(Exchange(card, HostBlock(0x00, {0x80, 0x20, 0x00, 0x40, 0x00})), CardBlock(0x20, Ramp(32)));
  EXPECT_EQ(Exchange(card, {0x52, 0xC2, 0x00, 0x90}), (Bytes{0x25, 0xE2, 0x00, 0xC7}));
  // The host's next command carries N(S) 1 and so does the card's answer.
  EXPECT_EQ(Exchange(card, {0x52, 0x40, 0x04, 0x80, 0x20, 0x00, 0x00, 0xB6}),
            (Bytes{0x25, 0x40, 0x02, 0x90, 0x00, 0xF7}));
}

TEST(CardT1Conversation, AnswersMalformedAndOutOfTurnBlocksWithRBlocks) {
  Card card = test::PoweredCard();
  const Bytes edcFromNowhere{0x00, 0x81, 0x00, 0x81};  // no readable block yet: NAD 0
  const Bytes otherError{0x25, 0x82, 0x00, 0xA7};      // R(0), other error
  const Bytes steps[][2] = {
      {{0x52, 0x00}, edcFromNowhere},
      {{0x52, 0x00, 0x05, 0x00, 0xA4, 0x00, 0x00, 0xF3}, edcFromNowhere},  // LEN 5, four bytes follow
      {{0x52, 0x00, 0x00, 0x53}, edcFromNowhere},                          // LRC should be 52
      {HostBlock(0x00, Bytes(255, 0x00)), otherError},                     // LEN FF
      {HostBlock(0x00, Bytes(33, 0x00)), otherError},                      // INF 33 > IFSC 32
      {{0x52, 0x40, 0x04, 0x80, 0x20, 0x00, 0x00, 0xB6}, otherError},      // I(1) when I(0) is due
      {{0x52, 0x80, 0x00, 0xD2}, otherError},                              // R(0) with nothing to repeat
      {{0x52, 0xE3, 0x01, 0x05, 0xB5}, otherError},                        // WTX response unasked
  };
  for (const auto& step : steps) {
    EXPECT_EQ(Exchange(card, step[0]), step[1]);
  }
  // None of them moved the card: I(0) is still the block it expects.
  EXPECT_EQ(Exchange(card, {0x52, 0x00, 0x04, 0x80, 0x20, 0x00, 0x00, 0xF6}),
            (Bytes{0x25, 0x00, 0x02, 0x90, 0x00, 0xB7}));
}

TEST(CardT1Conversation, RefusesACommandChainLongerThanAnyApdu) {
  CardConfig config;
  config.atr.ta3 = 0xFE;
  Card card = test::PoweredCard(config);
  EXPECT_EQ(card.T1Ifsc(), 0xFE);
  std::uint8_t sequence = 0;
  for (int i = 0; i < 259; ++i) {  // 259 x 254 bytes: more than 65544
    const std::uint8_t pcb = static_cast<std::uint8_t>((sequence << 6) | (i < 258 ? 0x20 : 0x00));
    const Bytes answer = Exchange(card, HostBlock(pcb, Bytes(254, 0x80)));
    sequence ^= 1;
    if (i < 258) {
      ASSERT_EQ(answer, WithLrc({0x25, static_cast<std::uint8_t>(0x80 | (sequence << 4)), 0x00}));
    } else {
      EXPECT_EQ(answer, CardBlock(0x00, {0x67, 0x00}));
    }
  }
}

TEST(CardPower, WithoutPowerNothingAnswers) {
  Card card;
  EXPECT_FALSE(card.ExchangeT1Block(Bytes{0x52, 0x00, 0x00, 0x52}).has_value());
  EXPECT_TRUE(card.T1BlocksReceived().empty());
  EXPECT_TRUE(card.TransmitApdu(Bytes{0x80, 0x20, 0x00, 0x00}).empty());
  card.Reset(false);
  EXPECT_EQ(card.TransmitApdu(Bytes{0x80, 0x20, 0x00, 0x03, 0x00}), (Bytes{0x00, 0x01, 0x02, 0x90, 0x00}));
}

}  // namespace
}  // namespace emu
