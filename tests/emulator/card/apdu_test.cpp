#include <gtest/gtest.h>

#include "emulator/card/apdu.h"

namespace emu {
namespace {

struct ParseCase {
  const char* name;
  Bytes apdu;
  bool valid;
  std::size_t nc;
  std::uint32_t ne;
  bool extended;
};

TEST(CardApduParse, DecodesEveryCaseAndRefusesTheRest) {
  const ParseCase cases[] = {
      {"case 1", {0x00, 0xA4, 0x00, 0x00}, true, 0, 0, false},
      {"case 2S, Le 00 is 256", {0x00, 0xB0, 0x00, 0x00, 0x00}, true, 0, 256, false},
      {"case 2S", {0x00, 0xB0, 0x00, 0x00, 0x10}, true, 0, 16, false},
      {"case 3S", {0x00, 0xD6, 0x00, 0x00, 0x02, 0xAA, 0xBB}, true, 2, 0, false},
      {"case 4S", {0x00, 0xD6, 0x00, 0x00, 0x02, 0xAA, 0xBB, 0x00}, true, 2, 256, false},
      {"case 2E, Le 0000 is 65536", {0x00, 0xB0, 0x00, 0x00, 0x00, 0x00, 0x00}, true, 0, 65536, true},
      {"case 2E, Le 0100", {0x00, 0xB0, 0x00, 0x00, 0x00, 0x01, 0x00}, true, 0, 256, true},
      {"case 3E", {0x80, 0x22, 0x00, 0x00, 0x00, 0x00, 0x02, 0xAA, 0xBB}, true, 2, 0, true},
      {"case 4E", {0x80, 0x22, 0x00, 0x00, 0x00, 0x00, 0x02, 0xAA, 0xBB, 0x00, 0x00}, true, 2, 65536, true},
      {"three bytes", {0x00, 0xA4, 0x00}, false, 0, 0, false},
      {"Lc 2, one data byte", {0x00, 0xA4, 0x00, 0x00, 0x02, 0xAA}, false, 0, 0, false},
      {"Lc 2, three data bytes", {0x00, 0xD6, 0x00, 0x00, 0x02, 0xAA, 0xBB, 0xCC, 0xDD}, false, 0, 0, false},
      {"extended form cut short", {0x00, 0xA4, 0x00, 0x00, 0x00, 0x00}, false, 0, 0, false},
      {"extended Lc 0000 with data", {0x00, 0xD6, 0x00, 0x00, 0x00, 0x00, 0x00, 0xAA}, false, 0, 0, false},
      {"extended Lc 3, two data bytes", {0x80, 0x22, 0x00, 0x00, 0x00, 0x00, 0x03, 0xAA, 0xBB}, false, 0, 0, false},
  };
  for (const ParseCase& c : cases) {
    const auto parsed = ParseCommandApdu(c.apdu);
    ASSERT_EQ(parsed.has_value(), c.valid) << c.name;
    if (!parsed) {
      continue;
    }
    EXPECT_EQ(parsed->data.size(), c.nc) << c.name;
    EXPECT_EQ(parsed->ne, c.ne) << c.name;
    EXPECT_EQ(parsed->extended, c.extended) << c.name;
  }
}

TEST(CardApduParse, OnlyAnAllZeroLeAsksForTheMaximum) {
  const Bytes shortZero{0x00, 0xB0, 0x00, 0x00, 0x00};
  const Bytes extended256{0x00, 0xB0, 0x00, 0x00, 0x00, 0x01, 0x00};
  EXPECT_TRUE(ParseCommandApdu(shortZero)->NeIsMaximum());
  EXPECT_FALSE(ParseCommandApdu(extended256)->NeIsMaximum());
}

}  // namespace
}  // namespace emu
