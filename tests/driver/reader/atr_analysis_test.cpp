// The ATR walk (ISO/IEC 7816-3 clause 8.2) and the block waiting time, with
// annotated answers-to-reset.
#include <gtest/gtest.h>

#include <vector>

#include "driver/reader/atr_analysis.h"

namespace {

using Bytes = std::vector<UCHAR>;

// The ATR is copied into a block of exactly the bytes available, so that a
// read past them is caught by the sanitizer builds.
NTSTATUS Analyze(const Bytes& atr, ATR_ANALYSIS* analysis) {
  return AnalyzeAtr(atr.data(), static_cast<ULONG>(atr.size()), analysis);
}

struct AtrCase {
  const char* what;
  Bytes atr;
  ULONG length;
  UCHAR ifsc;
  UCHAR packed;
  BOOLEAN hasTck;
  UCHAR tck;
};

TEST(AtrAnalysis, WalksTheInterfaceBytes) {
  const AtrCase cases[] = {
      // TS, T0: no interface bytes, no historical bytes.
      {"3B 00", {0x3B, 0x00, 0x90, 0x00}, 2, 0x20, 0x41, FALSE, 0},
      // T0 80: TD1 follows; TD1 01: T=1, so a TCK follows (received as 00, computed 80^01).
      {"TD1 names T=1", {0x3B, 0x80, 0x01, 0x00}, 4, 0x20, 0x41, TRUE, 0x81},
      // T0 10: TA1 follows; TA1 96: FI 9, DI 6.
      {"TA1 96", {0x3B, 0x10, 0x96}, 3, 0x20, 0x49, FALSE, 0},
      // T0 90: TA1 and TD1; TD1 81: TD2, T=1; TD2 21: TB3, T=1; TB3 05: BWI 0, CWI 5; TCK.
      {"TA1 96 and TB3 05", {0x3B, 0x90, 0x96, 0x81, 0x21, 0x05, 0x32}, 7, 0x20, 0x09, TRUE, 0xA3},
      // T0 83: TD1, three historical bytes; TD1 81; TD2 31: TA3, TB3, T=1;
      // TA3 FE (IFSC 254); TB3 45 (BWI 4, CWI 5); historical 41 42 43; TCK.
      {"TA3 FE, TB3 45, historical bytes",
       {0x3B, 0x83, 0x81, 0x31, 0xFE, 0x45, 0x41, 0x42, 0x43, 0x00},
       10, 0xFE, 0x41, TRUE, 0x83 ^ 0x81 ^ 0x31 ^ 0xFE ^ 0x45 ^ 0x41 ^ 0x42 ^ 0x43},
      // TD1 00 names T=0 only: no TCK.
      {"TD1 names T=0", {0x3B, 0x81, 0x00, 0x55}, 4, 0x20, 0x41, FALSE, 0},
      // TD1 81 offers T=1, TD2 00 then T=0: T=0 is not alone, so TCK 01 follows.
      {"T=1 then T=0", {0x3B, 0x80, 0x81, 0x00, 0x01, 0x90}, 5, 0x20, 0x41, TRUE, 0x01},
  };
  for (const AtrCase& c : cases) {
    ATR_ANALYSIS analysis{};
    ASSERT_EQ(Analyze(c.atr, &analysis), STATUS_SUCCESS) << c.what;
    EXPECT_EQ(analysis.Length, c.length) << c.what;
    EXPECT_EQ(analysis.Ifsc, c.ifsc) << c.what;
    EXPECT_EQ(analysis.Packed, c.packed) << c.what;
    EXPECT_EQ(analysis.HasTck, c.hasTck) << c.what;
    if (c.hasTck) {
      EXPECT_EQ(analysis.Tck, c.tck) << c.what;
    }
  }
}

// TS, T0 with 15 historical bytes, four groups of interface bytes (15 bytes),
// the historical bytes and TCK: 33 bytes, the longest ATR there is.
Bytes LongestAtr() {
  Bytes atr = {0x3B, 0xFF, 0x11, 0x22, 0x33, 0xF1, 0x11, 0x22, 0x33, 0xF1, 0x11, 0x22, 0x33, 0x71, 0x11, 0x22, 0x33};
  for (UCHAR i = 0; i < 15; ++i) atr.push_back(static_cast<UCHAR>(0x60 + i));
  atr.push_back(0x00);
  return atr;
}

TEST(AtrAnalysis, TakesAnAtrOfThirtyThreeBytes) {
  const Bytes atr = LongestAtr();
  ASSERT_EQ(atr.size(), 33u);
  ATR_ANALYSIS analysis{};
  ASSERT_EQ(Analyze(atr, &analysis), STATUS_SUCCESS);
  EXPECT_EQ(analysis.Length, 33u);
  EXPECT_EQ(analysis.Ifsc, 0x11);  // TA3
}

TEST(AtrAnalysis, RefusesAnAtrThatRunsPastItsBytes) {
  Bytes tooLong = LongestAtr();
  tooLong[13] = 0xF1;  // TD3 now announces TD4 as well: one byte more than ISO/IEC 7816-3 allows
  tooLong.insert(tooLong.begin() + 17, 0x01);
  const struct {
    const char* what;
    Bytes atr;
  } cases[] = {
      {"nothing but TS", {0x3B}},
      {"TD1 announced, not received", {0x3B, 0x80}},
      {"TA1, TB1, TC1 announced, two received", {0x3B, 0x70, 0x11, 0x22}},
      {"five historical bytes, three received", {0x3B, 0x05, 0x41, 0x42, 0x43}},
      {"TCK announced by TD1, not received", {0x3B, 0x80, 0x01}},
      {"34 bytes", tooLong},
      {"TD bytes that never end", Bytes(64, 0xFF)},
  };
  for (const auto& c : cases) {
    ATR_ANALYSIS analysis{};
    EXPECT_EQ(Analyze(c.atr, &analysis), STATUS_DEVICE_DATA_ERROR) << c.what;
  }
}

TEST(AtrAnalysis, BlockWaitingTimeIn100NanosecondUnits) {
  const struct {
    UCHAR packed;
    LONGLONG time;
  } cases[] = {
      {0x41, 16'000'000},   // BWI 4, FI 1: 2^4 x 0.1 s
      {0x01, 1'000'000},    // BWI 0, FI 1
      {0x91, 512'000'000},  // BWI 9, FI 1: the longest ISO/IEC 7816-3 allows
      {0x49, 11'625'000},   // BWI 4, FI 9: 16 x 3,571,200,000,000 / 4,915,200
      {0x09, 726'562},      // BWI 0, FI 9: 726,562.5 truncated
  };
  for (const auto& c : cases) EXPECT_EQ(BlockWaitTimeFromPacked(c.packed), c.time) << std::hex << int{c.packed};
}

}  // namespace
