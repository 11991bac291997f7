#include <gtest/gtest.h>

#include "emulator/card/card.h"
#include "tests/emulator/card/card_test_helpers.h"

namespace emu {
namespace {

struct AtrCase {
  const char* name;
  AtrRecipe wanted;
  Bytes atr;
};

AtrRecipe Offering(bool t0, bool t1) {
  AtrRecipe wanted;
  wanted.t0 = t0;
  wanted.t1 = t1;
  return wanted;
}

TEST(CardBuildAtr, LaysOutInterfaceBytesAndCheckByte) {
  AtrRecipe full = Offering(false, true);
  full.ta1 = 0x96;
  full.ta3 = 0xFE;
  full.tb3 = 0x45;
  full.historical = {0x4B, 0x54};
  AtrRecipe t0Group3 = Offering(true, false);
  t0Group3.ta3 = 0x20;
  AtrRecipe bothTb3 = Offering(true, true);
  bothTb3.tb3 = 0x45;
  AtrRecipe noTck = Offering(false, true);
  noTck.tck = false;
  AtrRecipe t0Historical = Offering(true, false);
  t0Historical.ta1 = 0x11;
  t0Historical.historical = {0x41, 0x42};

  const AtrCase cases[] = {
      // TS  T0 (TD1)  TD1: T=0, TD2 follows  TD2: T=1  TCK = 80^80^01
      {"both protocols", Offering(true, true), {0x3B, 0x80, 0x80, 0x01, 0x01}},
      // TS  T0: no interface bytes, no historical bytes; T=0 only needs no TD1 and no TCK
      {"T=0 only", Offering(true, false), {0x3B, 0x00}},
      // T0: TA1, K = 2  TA1  historical "AB"
      {"T=0 with TA1 and history", t0Historical, {0x3B, 0x12, 0x11, 0x41, 0x42}},
      // T0: TA1 TD1 K=2  TA1  TD1: T=1, TD2  TD2: T=1, TA3 TB3  TA3  TB3  "KT"  TCK (92^96^81^31^FE^45^4B^54)
      {"T=1 with all bytes", full, {0x3B, 0x92, 0x96, 0x81, 0x31, 0xFE, 0x45, 0x4B, 0x54, 0x10}},
      // TD1: T=0, TD2  TD2: T=0, TA3  TA3; only T=0 is named, so no TCK
      {"T=0 reaching TA3", t0Group3, {0x3B, 0x80, 0x80, 0x10, 0x20}},
      // TD2: T=1 with TB3 only; TCK = 80^80^21^45
      {"both with TB3", bothTb3, {0x3B, 0x80, 0x80, 0x21, 0x45, 0x64}},
      // TD1 names T=1 but no TCK is wanted
      {"T=1 without TCK", noTck, {0x3B, 0x80, 0x01}},
  };
  for (const AtrCase& c : cases) {
    EXPECT_EQ(BuildAtr(c.wanted), c.atr) << c.name;
  }
}

TEST(CardBuildAtr, KeepsAtMostFifteenHistoricalBytes) {
  AtrRecipe wanted = Offering(true, false);
  wanted.historical = test::Ramp(16, 0x01);
  const Bytes atr = BuildAtr(wanted);
  ASSERT_EQ(atr.size(), 2u + 15u);
  EXPECT_EQ(atr[1], 0x0F);
  EXPECT_EQ(atr.back(), 0x0F);
}

TEST(CardReset, ResetAnswersWithTheBuiltOrTheOverridingAtr) {
  CardConfig config;
  config.atr.ta3 = 0xFE;
  Card built(config);
  EXPECT_FALSE(built.Powered());
  EXPECT_EQ(built.Reset(false), BuildAtr(config.atr));
  EXPECT_TRUE(built.Powered());

  config.atrOverride = Bytes{0x3B, 0x81};  // announces TD1 that never comes
  Card malformed(config);
  EXPECT_EQ(malformed.Reset(true), (Bytes{0x3B, 0x81}));
  EXPECT_EQ(malformed.Atr(), (Bytes{0x3B, 0x81}));
  malformed.PowerOff();
  EXPECT_FALSE(malformed.Powered());
}

}  // namespace
}  // namespace emu
