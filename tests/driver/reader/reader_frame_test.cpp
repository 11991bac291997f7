// The pure decisions of the reader layer, as tables of annotated bytes: the
// ATR walk (ISO/IEC 7816-3 clause 8.2) and its bounds, the block waiting
// time, and what the firmware version decides.
#include <gtest/gtest.h>

#include <vector>

#include "driver/reader/atr_analysis.h"
#include "driver/reader/firmware_generation.h"
#include "driver/reader/version_text.h"

namespace {

using Bytes = std::vector<UCHAR>;
using Values = std::vector<int>;
constexpr int NoTck = -1;

// TS, T0 announcing 15 historical bytes, TA TB TC TD in four groups (TA3 11,
// TB3 22), historical bytes 60, TCK: 33 bytes, the longest ATR there is. A
// TD3 of F1 announces TD4 as well: one byte more.
Bytes LongestAtr(UCHAR td3) {
  Bytes atr = {0x3B, 0xFF, 0x11, 0x22, 0x33, 0xF1, 0x11, 0x22, 0x33, 0xF1, 0x11, 0x22, 0x33, td3, 0x11, 0x22, 0x33};
  if (td3 & 0x80) atr.push_back(0x01);
  atr.insert(atr.end(), 15, 0x60);
  atr.push_back(0x00);
  return atr;
}

TEST(AtrAnalysis, WalksTheInterfaceBytes) {
  // The ATR; its length, IFSC, packed BWI/FI and TCK as computed, or nothing when refused.
  const std::tuple<const char*, Bytes, Values> cases[] = {
      {"3B 00: the bytes after T0 are not the ATR's", {0x3B, 0x00, 0x90, 0x00}, {2, 0x20, 0x41, NoTck}},
      {"TD1 01 names T=1: TCK, computed 80^01", {0x3B, 0x80, 0x01, 0x00}, {4, 0x20, 0x41, 0x81}},
      {"TA1 96: FI 9", {0x3B, 0x10, 0x96}, {3, 0x20, 0x49, NoTck}},
      {"TA1 96 TD1 81 TD2 21 TB3 05 (BWI 0) TCK", {0x3B, 0x90, 0x96, 0x81, 0x21, 0x05, 0x32}, {7, 0x20, 0x09, 0xA3}},
      {"TD1 81 TD2 31 TA3 FE TB3 45, historical 41 42 43, TCK",
       {0x3B, 0x83, 0x81, 0x31, 0xFE, 0x45, 0x41, 0x42, 0x43, 0x00},
       {10, 0xFE, 0x41, 0x83 ^ 0x81 ^ 0x31 ^ 0xFE ^ 0x45 ^ 0x41 ^ 0x42 ^ 0x43}},
      {"TD1 00 names T=0 alone: no TCK", {0x3B, 0x81, 0x00, 0x55}, {4, 0x20, 0x41, NoTck}},
      {"TD1 81 T=1, then TD2 00 T=0: TCK all the same", {0x3B, 0x80, 0x81, 0x00, 0x01, 0x90}, {5, 0x20, 0x41, 0x01}},
      {"33 bytes", LongestAtr(0x71), {33, 0x11, 0x21, 0xEE}},
      {"34 bytes", LongestAtr(0xF1), {}},
      {"nothing but TS", {0x3B}, {}},
      {"TD1 announced, not received", {0x3B, 0x80}, {}},
      {"TA1 TB1 TC1 announced, two received", {0x3B, 0x70, 0x11, 0x22}, {}},
      {"five historical bytes, three received", {0x3B, 0x05, 0x41, 0x42, 0x43}, {}},
      {"TCK announced by TD1, not received", {0x3B, 0x80, 0x01}, {}},
      {"TD bytes that never end", Bytes(64, 0xFF), {}},
  };
  for (const auto& [what, atr, expected] : cases) {
    ATR_ANALYSIS a{};
    // Exactly the bytes available: a read past them is caught by the sanitizer builds.
    const NTSTATUS status = AnalyzeAtr(atr.data(), static_cast<ULONG>(atr.size()), &a);
    EXPECT_EQ(status, expected.empty() ? STATUS_DEVICE_DATA_ERROR : STATUS_SUCCESS) << what;
    if (NT_SUCCESS(status)) {
      EXPECT_EQ((Values{int(a.Length), a.Ifsc, a.Packed, a.HasTck ? a.Tck : NoTck}), expected) << what;
    }
  }
  // BWI 4 FI 1: 2^4 x 0.1 s; BWI 9, the longest; BWI 4 FI 9: 16 x 3,571,200,000,000 / 4,915,200; BWI 0 FI 9 truncated.
  EXPECT_EQ((std::vector<LONGLONG>{BlockWaitTimeFromPacked(0x41), BlockWaitTimeFromPacked(0x91),
                                   BlockWaitTimeFromPacked(0x49), BlockWaitTimeFromPacked(0x09)}),
            (std::vector<LONGLONG>{16'000'000, 512'000'000, 11'625'000, 726'562}));
}

TEST(FirmwareGeneration, DecidesFrameGenerationResetParameterAndVersionReading) {
  // Version, new generation, reset with a parameter byte.
  for (const Values& v : {Values{0x200, 0, 0}, Values{0x201, 1, 0}, Values{0x21F, 1, 0}, Values{0x220, 1, 1},
                          Values{0x300, 1, 0}, Values{0x301, 1, 1}}) {
    const auto version = static_cast<USHORT>(v[0]);
    EXPECT_EQ((Values{v[0], FrameGenerationFor(version) == FrameGenerationNew, ResetCardTakesParameter(version)}), v);
  }
  // Cold: asks for T=1 unless bit 0 of the minor code is set; warm adds 02, but not on 3.01.
  EXPECT_EQ((Bytes{ResetCardParameter(1, 0, 0x227), ResetCardParameter(2, 1, 0x227), ResetCardParameter(2, 1, 0x301),
                   ResetCardParameter(3, 0, 0x227)}),
            (Bytes{0x00, 0x03, 0x01, 0x00}));
  const std::tuple<FRAME_GENERATION, const char*, Bytes> texts[] = {
      {FrameGenerationNew, "2?z", {2, 35}},    // anything but a digit or letter counts 0; small z is 35
      {FrameGenerationOld, "150", {1, 0x50}},
      {FrameGenerationOld, "21a", {2, 0x41}},  // the old reading: (1 x 16 + 0x31) modulo 256
  };
  for (const auto& [generation, text, expected] : texts) {
    const FIRMWARE_VERSION_TEXT v = ParseFirmwareVersion(generation, text[0], text[1], text[2]);
    EXPECT_EQ((Bytes{v.Major, v.Minor}), expected) << text;
  }
}

}  // namespace
