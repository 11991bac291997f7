// The card's T=0 side, byte-exact: procedure bytes 61 xx and 6C xx, GET
// RESPONSE, and TPDUs whose length disagrees.
#include <gtest/gtest.h>

#include "emulator/card/card.h"
#include "tests/emulator/card/card_test_helpers.h"

namespace emu {
namespace {

using test::Hex;

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
      {"80 20 00 05 00", "6C 05"},        // 5 bytes, Le 00 (256)
      {"80 20 01 00 10", "6C 00"},        // 256 bytes, Le 16
      {"00 A4 00 0C 02 01 01", "90 00"},
      {"00 B0 03 FE 04", "6C 02"},  // read 4 at 1022: two left
      {"00 B0 03 FE 02", "58 59 90 00"},
      {"80 20 01 2C 00", "00..FF 61 2C"},  // 300 bytes, Le 00: 256, then 44 wait
      {"00 C0 00 00 2C", "00..2B 90 00"},
      {"80 20 04 00", "61 00"},  // 1024 bytes: 61 00 while 256 or more wait
      {"00 C0 00 00 00", "00..FF 61 00"},
      {"00 C0 00 00 00", "00..FF 61 00"},
      {"00 C0 00 00 00", "00..FF 61 00"},
      {"00 C0 00 00 00", "00..FF 90 00"},
      {"00 A4 00", "67 00"},              // three bytes
      {"00 D6 00 00 03 AA BB", "67 00"},  // P3 3, two data bytes
      {"00 D6 00 00 00 AA", "67 00"},     // P3 0 with a data byte
      {"00 D6 00 00 01 AA BB", "67 00"},  // P3 1, two data bytes
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

}  // namespace
}  // namespace emu
