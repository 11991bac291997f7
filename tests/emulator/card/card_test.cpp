// The card's two protocols byte-exact. T=0: procedure bytes 61 xx and
// 6C xx, GET RESPONSE, and TPDUs whose length disagrees. T=1 block by block:
// what the card does with each block the interface device sends in each
// state (its recovery decisions), and each fault the driver's tests script
// into it. The host's I(0)/I(1): generate 0 bytes (80 20 00 00); the card's
// I(0)/I(1): 90 00.
#include <gtest/gtest.h>

#include <optional>
#include <utility>
#include <vector>

#include "emulator/card/card.h"
#include "tests/emulator/card/card_test_helpers.h"

namespace emu {
namespace {

using test::Hex;
using Kind = T1Fault::Kind;

const char* const kI0 = "52 00 04 80 20 00 00 F6";
const char* const kI1 = "52 40 04 80 20 00 00 B6";
const char* const kAnswerI0 = "25 00 02 90 00 B7";
const char* const kAnswerI1 = "25 40 02 90 00 F7";
const char* const kR0Edc = "52 81 00 D3";
const char* const kR0Other = "52 82 00 D0";
const char* const kOtherError = "25 82 00 A7";                 // the card's R(0), other error
const char* const kGenerate64 = "52 00 05 80 20 00 40 00 B7";  // 66 bytes of answer: a chain at IFSD 32
const char* const kNothing = nullptr;

TEST(CardT0, AnswersEachTpduInTurn) {
  const struct {
    const char* tpdu;  // "": a warm reset
    const char* response;
  } steps[] = {
      {"80 20 00 00", "90 00"},  // case 1 without data
      {"00 A4 00 00", "61 13"},  // case 1 producing data: a 19-byte FCI waits
      {"00 C0 00 00 13", "6F 11 82 01 38 83 02 3F 00 84 08 F0 45 4D 55 43 41 52 44 90 00"},
      {"00 A4 00 0C 02 01 01", "90 00"},        // case 3
      {"00 B0 00 00 04", "A5 A4 A7 A6 90 00"},  // case 2
      {"80 22 00 00 03 0A 0B 0C", "61 03"},     // case 4 as case 3: echo announces 3 bytes
      {"00 C0 00 00 05", "6C 03"},              // GET RESPONSE asking too much
      {"00 C0 00 01 03", "6A 86"},              // GET RESPONSE with P1-P2
      {"00 C0 00 00 02", "0A 0B 61 01"},
      {"80 C0 00 00 01", "0C 90 00"},     // in the command's class
      {"00 C0 00 00 01", "69 85"},        // nothing left
      {"00 A4 00 0C 02 01 02", "6A 82"},  // an error comes alone
      {"80 20 00 10 08", "6C 10"},        // 16 bytes, Le 8
      {"80 20 01 00 10", "6C 00"},        // 256 bytes, Le 16
      {"00 A4 00 0C 02 01 01", "90 00"},
      {"00 B0 03 FE 04", "6C 02"},  // read 4 at 1022: two left
      {"00 B0 03 FE 02", "58 59 90 00"},
      {"80 20 01 2C 00", "00..FF 61 2C"},  // 300 bytes, Le 00: 256, then 44 wait
      {"00 C0 00 00 2C", "00..2B 90 00"},
      {"80 20 02 00", "61 00"},  // 512 bytes: 61 00 while 256 or more wait
      {"00 C0 00 00 00", "00..FF 61 00"},
      {"00 C0 00 00 00", "00..FF 90 00"},
      {"00 A4 00", "67 00"},              // three bytes
      {"00 D6 00 00 03 AA BB", "67 00"},  // P3 3, two data bytes
      {"80 20 00 04", "61 04"},
      {"", ""},  // a reset drops what waits
      {"00 C0 00 00 04", "69 85"},
  };
  Card card = test::PoweredCard();
  for (const auto& step : steps) {
    if (*step.tpdu == '\0') {
      card.Reset(true);
      continue;
    }
    EXPECT_EQ(card.TransmitT0(Hex(step.tpdu)).response, Hex(step.response)) << step.tpdu;
  }
  EXPECT_TRUE(Card().TransmitT0(Hex("80 20 00 00")).response.empty());  // unpowered: mute
}

T1Fault Fault(Kind kind, std::uint8_t value = 0, std::uint8_t inf = 0, Bytes raw = {}) {
  return T1Fault{kind, value, inf, std::move(raw)};
}

struct Row {
  const char* note;
  std::vector<T1Fault> faults;
  std::vector<std::pair<const char*, const char*>> steps;  // host block, the card's block (kNothing: silence)
};

TEST(CardT1, AnswersEachBlockAsScripted) {
  const Row rows[] = {
      {"blocks the card refuses move nothing",
       {},
       {{"52 00", "00 81 00 81"},                    // unreadable: NAD 0, EDC error
        {"52 00 05 00 A4 00 00 F3", "00 81 00 81"},  // LEN 5, four bytes follow
        {"52 00 00 53", "00 81 00 81"},              // LRC should be 52
        {kI1, kOtherError},                          // I(1) when I(0) is due
        {"52 80 00 D2", kOtherError},                // R(0) with nothing to repeat
        {"52 80 01 00 D3", kOtherError},             // R-block with INF
        {"52 C1 01 00 92", kOtherError},             // IFS request 00 (reserved)
        {"52 C1 00 93", kOtherError},                // IFS request without INF
        {"52 C3 01 05 95", kOtherError},             // WTX request: the card's to send
        {"52 E3 01 05 B5", kOtherError},             // WTX response nobody asked for
        {"52 00 FF 00..FE 52", kOtherError},         // LEN FF
        {"52 00 21 00..20 53", kOtherError},         // INF 33 beyond IFSC 32
        {kI0, kAnswerI0}}},
      {"after an unchained answer; the host's RESYNCH",
       {},
       {{kI0, kAnswerI0},
        {"52 90 00 C2", "25 92 00 B7"},  // R(1) acknowledging an unchained I(0)
        {kR0Other, kAnswerI0},
        {kI1, kAnswerI1},
        {"52 C0 00 92", "25 E0 00 C5"},
        {kI0, kAnswerI0}}},
      {"the card's chain: acknowledged, repeated, interrupted out of turn",
       {},
       {{kGenerate64, "25 20 20 00..1F 25"},
        {"52 80 00 D2", "25 20 20 00..1F 25"},  // R(0): I(0) again
        {kI1, "25 92 00 B7"},                   // I(1) instead of acknowledging
        {"52 90 00 C2", "25 60 20 20..3F 65"},
        {"52 91 00 C3", "25 60 20 20..3F 65"},
        {"52 80 00 D2", kAnswerI0}}},
      {"the host's ABORT drops the card's chain",
       {},
       {{kGenerate64, "25 20 20 00..1F 25"}, {"52 C2 00 90", "25 E2 00 C7"}, {kI1, kAnswerI1}}},
      {"the host's IFS request: the answer fits one block",
       {},
       {{"52 C1 01 80 12", "25 E1 01 80 45"}, {kGenerate64, "25 00 42 00..3F 90 00 F7"}}},
      {"bad LRC, sound when repeated", {Fault(Kind::BadLrc)}, {{kI0, "25 00 02 90 00 48"}, {kR0Edc, kAnswerI0}}},
      {"wrong N(S) waits for the I-block that ends the host's chain",
       {Fault(Kind::WrongSequence)},
       {{"52 20 01 80 F3", "25 90 00 B5"},
        {kR0Edc, "25 90 00 B5"},  // the card's R(1) again
        {"52 40 03 20 00 00 31", kAnswerI1},
        {kR0Other, kAnswerI0}}},
      {"garbage", {Fault(Kind::Garbage, 0, 0, {0xDE, 0xAD, 0xBE})}, {{kI0, "DE AD BE"}, {kR0Edc, kAnswerI0}}},
      {"an R-block instead of the answer", {Fault(Kind::RBlock, 1)}, {{kI0, "25 81 00 A4"}, {kI0, kAnswerI0}}},
      {"WTX request 05",
       {Fault(Kind::SRequest, 3, 0x05)},
       {{kI0, "25 C3 01 05 E2"},
        {"52 80 00 D2", "25 C3 01 05 E2"},  // asked again
        {"52 E1 01 05 B7", "25 92 00 B7"},  // an IFS response does not answer it
        {"52 E3 01 06 B6", "25 92 00 B7"},  // nor one with another INF
        {"52 C1 01 80 12", "25 92 00 B7"},  // nor an IFS request
        {kI1, "25 92 00 B7"},               // nor an I-block
        {"52 E3 01 05 B5", kAnswerI0}}},
      {"IFS request 40", {Fault(Kind::SRequest, 1, 0x40)}, {{kI0, "25 C1 01 40 A5"}, {"52 E1 01 40 F2", kAnswerI0}}},
      {"ABORT request",
       {Fault(Kind::SRequest, 2)},
       {{kI0, "25 C2 00 E7"}, {"52 E2 00 B0", "25 80 00 A5"}, {kI0, kAnswerI0}}},
      {"RESYNCH request",
       {Fault(Kind::SRequest, 0)},
       {{kI0, "25 C0 00 E5"}, {"52 E0 00 B2", "25 80 00 A5"}, {kI0, kAnswerI0}}},
      {"silence, then garbage",
       {Fault(Kind::Silence), Fault(Kind::Garbage, 0, 0, {0x00})},
       {{kI0, kNothing}, {kR0Other, "00"}, {kR0Other, kOtherError}, {kI0, kAnswerI0}}},
  };
  for (const Row& row : rows) {
    Card card = test::PoweredCard();
    for (const T1Fault& fault : row.faults) card.ScriptT1Fault(fault);
    for (const auto& [host, answer] : row.steps) {
      const std::optional<Bytes> expected = answer ? std::optional(Hex(answer)) : std::nullopt;
      EXPECT_EQ(card.ExchangeT1Block(Hex(host)), expected) << row.note << ": " << host;
    }
  }
}

TEST(CardT1, RefusesACommandChainLongerThanAnyApduAndIsMuteUnpowered) {
  EXPECT_FALSE(Card().ExchangeT1Block(Hex(kI0)).has_value());
  CardConfig config;
  config.atr.ta3 = 0xFE;
  Card card = test::PoweredCard(config);
  Bytes block(3 + 254 + 1, 0x80);  // NAD PCB LEN, 254 bytes of INF, LRC
  for (int i = 0; i < 259; ++i) {  // 259 x 254 bytes: more than 65,544
    const bool more = i < 258;
    block = {0x52, static_cast<std::uint8_t>((i & 1) << 6 | (more ? 0x20 : 0)), 0xFE};
    block.resize(3 + 254 + 1, 0x80);
    block.back() = block[0] ^ block[1] ^ block[2];  // the INF bytes cancel out
    ASSERT_EQ(card.ExchangeT1Block(block), Hex(!more ? "25 00 02 67 00 40" : i & 1 ? "25 80 00 A5" : "25 90 00 B5"));
  }
}

}  // namespace
}  // namespace emu
