// The pure decisions of the reader layer, as tables of annotated bytes: the
// ATR walk (ISO/IEC 7816-3 clause 8.2), the block waiting time, the frames of
// both generations and what the firmware version decides.
#include <gtest/gtest.h>

#include <vector>

#include "driver/reader/atr_analysis.h"
#include "driver/reader/firmware_generation.h"
#include "driver/reader/reader_frame.h"
#include "driver/reader/version_text.h"

namespace {

using Bytes = std::vector<UCHAR>;
constexpr int NoTck = -1;

// TS, T0 with 15 historical bytes, four groups of interface bytes (TA3 11),
// the historical bytes and TCK: 33 bytes, the longest ATR there is. With
// `tooLong`, TD3 announces TD4 as well: one byte more than that.
Bytes LongestAtr(bool tooLong = false) {
  Bytes atr = {0x3B, 0xFF, 0x11, 0x22, 0x33, 0xF1, 0x11, 0x22, 0x33, 0xF1, 0x11, 0x22, 0x33, 0x71, 0x11, 0x22, 0x33};
  if (tooLong) {
    atr[13] = 0xF1;
    atr.push_back(0x01);
  }
  for (UCHAR i = 0; i < 15; ++i) atr.push_back(static_cast<UCHAR>(0x60 + i));
  atr.push_back(0x00);
  return atr;
}

TEST(AtrAnalysis, WalksTheInterfaceBytes) {
  const struct {
    const char* what;
    Bytes atr;
    NTSTATUS status;
    ULONG length;
    UCHAR ifsc, packed;
    int tck;
  } cases[] = {
      {"3B 00: nothing but T0; the bytes after it are not the ATR's", {0x3B, 0x00, 0x90, 0x00}, STATUS_SUCCESS, 2, 0x20,
       0x41, NoTck},
      {"TD1 01 names T=1: TCK follows, computed 80^01", {0x3B, 0x80, 0x01, 0x00}, STATUS_SUCCESS, 4, 0x20, 0x41, 0x81},
      {"TA1 96: FI 9", {0x3B, 0x10, 0x96}, STATUS_SUCCESS, 3, 0x20, 0x49, NoTck},
      {"TA1 96, TD1 81, TD2 21, TB3 05 (BWI 0, CWI 5), TCK", {0x3B, 0x90, 0x96, 0x81, 0x21, 0x05, 0x32},
       STATUS_SUCCESS, 7, 0x20, 0x09, 0xA3},
      {"TD1 81, TD2 31, TA3 FE (IFSC), TB3 45, historical 41 42 43, TCK",
       {0x3B, 0x83, 0x81, 0x31, 0xFE, 0x45, 0x41, 0x42, 0x43, 0x00}, STATUS_SUCCESS, 10, 0xFE, 0x41,
       0x83 ^ 0x81 ^ 0x31 ^ 0xFE ^ 0x45 ^ 0x41 ^ 0x42 ^ 0x43},
      {"TD1 00 names T=0 alone: no TCK", {0x3B, 0x81, 0x00, 0x55}, STATUS_SUCCESS, 4, 0x20, 0x41, NoTck},
      {"TD1 81 T=1, then TD2 00 T=0: TCK all the same", {0x3B, 0x80, 0x81, 0x00, 0x01, 0x90}, STATUS_SUCCESS, 5, 0x20,
       0x41, 0x01},
      {"33 bytes: TA3 11, TB3 22", LongestAtr(), STATUS_SUCCESS, 33, 0x11, 0x21, 0xE1},
      {"34 bytes", LongestAtr(true), STATUS_DEVICE_DATA_ERROR},
      {"nothing but TS", {0x3B}, STATUS_DEVICE_DATA_ERROR},
      {"TD1 announced, not received", {0x3B, 0x80}, STATUS_DEVICE_DATA_ERROR},
      {"TA1 TB1 TC1 announced, two received", {0x3B, 0x70, 0x11, 0x22}, STATUS_DEVICE_DATA_ERROR},
      {"five historical bytes, three received", {0x3B, 0x05, 0x41, 0x42, 0x43}, STATUS_DEVICE_DATA_ERROR},
      {"TCK announced by TD1, not received", {0x3B, 0x80, 0x01}, STATUS_DEVICE_DATA_ERROR},
      {"TD bytes that never end", Bytes(64, 0xFF), STATUS_DEVICE_DATA_ERROR},
  };
  for (const auto& c : cases) {
    ATR_ANALYSIS analysis{};
    // Exactly the bytes available: a read past them is caught by the sanitizer builds.
    ASSERT_EQ(AnalyzeAtr(c.atr.data(), static_cast<ULONG>(c.atr.size()), &analysis), c.status) << c.what;
    if (c.status != STATUS_SUCCESS) continue;
    EXPECT_EQ(analysis.Length, c.length) << c.what;
    EXPECT_EQ(analysis.Ifsc, c.ifsc) << c.what;
    EXPECT_EQ(analysis.Packed, c.packed) << c.what;
    EXPECT_EQ(analysis.HasTck, c.tck != NoTck) << c.what;
    if (c.tck != NoTck) {
      EXPECT_EQ(analysis.Tck, c.tck) << c.what;
    }
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

TEST(ReaderFrame, BuildsReaderCommandFramesOfBothGenerations) {
  const struct {
    FRAME_GENERATION generation;
    UCHAR sequence, command;
    Bytes parameters, frame;
  } cases[] = {
      // address 12, control, N, 01 31, check byte 12^00^02^01^31
      {FrameGenerationNew, 0x00, 0x31, {}, {0x12, 0x00, 0x02, 0x01, 0x31, 0x20}},
      {FrameGenerationNew, 0x40, 0x31, {}, {0x12, 0x40, 0x02, 0x01, 0x31, 0x60}},
      {FrameGenerationNew, 0x00, 0x35, {0x0A, 0x00}, {0x12, 0x00, 0x04, 0x01, 0x35, 0x0A, 0x00, 0x28}},
      {FrameGenerationNew, 0x40, 0xD1, {0x03}, {0x12, 0x40, 0x03, 0x01, 0xD1, 0x03, 0x82}},
      // type 10, 24-bit length, 01 31; no control byte, no check byte
      {FrameGenerationOld, 0x40, 0x31, {}, {0x10, 0x00, 0x00, 0x02, 0x01, 0x31}},
      {FrameGenerationOld, 0x00, 0x35, {0x0A, 0x00}, {0x10, 0x00, 0x00, 0x04, 0x01, 0x35, 0x0A, 0x00}},
  };
  for (const auto& c : cases) {
    UCHAR frame[ReaderCommandFrameMax] = {};
    const ULONG length = BuildReaderCommandFrame(c.generation, c.sequence, c.command, c.parameters.data(),
                                                 static_cast<ULONG>(c.parameters.size()), frame);
    EXPECT_EQ(Bytes(frame, frame + length), c.frame);
  }
}

TEST(ReaderFrame, DescribesTheInformationFieldOfAReply) {
  const struct {
    const char* what;
    FRAME_GENERATION generation;
    Bytes reply;
    BOOLEAN lengthKnown;
    ULONG offset, length, present;
  } cases[] = {
      {"new, complete: 01 31 28 90 00", FrameGenerationNew, {0x12, 0x00, 0x05, 0x01, 0x31, 0x28, 0x90, 0x00, 0x9F},
       TRUE, 3, 5, 5},
      {"new, three bytes: no length read yet", FrameGenerationNew, {0x12, 0x00, 0x05}, FALSE, 3, 0, 0},
      {"new, cut after the status byte", FrameGenerationNew, {0x12, 0x00, 0x05, 0x01, 0x31, 0x28}, TRUE, 3, 5, 3},
      {"new, bytes beyond the frame do not count", FrameGenerationNew, {0x12, 0x00, 0x01, 0x01, 0x10, 0xEE, 0xEE},
       TRUE, 3, 1, 1},
      {"old, complete", FrameGenerationOld, {0x10, 0x00, 0x00, 0x05, 0x01, 0x31, 0x28, 0x90, 0x00}, TRUE, 4, 5, 5},
      {"old, 24-bit length, header only", FrameGenerationOld, {0x10, 0x01, 0x02, 0x03}, TRUE, 4, 0x010203, 0},
  };
  for (const auto& c : cases) {
    const REPLY_LAYOUT layout = DescribeReply(c.generation, c.reply.data(), static_cast<ULONG>(c.reply.size()));
    EXPECT_EQ(layout.LengthKnown, c.lengthKnown) << c.what;
    EXPECT_EQ(layout.InformationOffset, c.offset) << c.what;
    EXPECT_EQ(layout.InformationLength, c.length) << c.what;
    EXPECT_EQ(layout.InformationPresent, c.present) << c.what;
  }
}

TEST(FirmwareGeneration, DecidesFrameGenerationAndResetParameterByVersion) {
  const struct {
    USHORT version;
    FRAME_GENERATION generation;
    bool resetTakesParameter;
  } cases[] = {
      {0x0000, FrameGenerationOld, false}, {0x0150, FrameGenerationOld, false}, {0x0200, FrameGenerationOld, false},
      {0x0201, FrameGenerationNew, false}, {0x021F, FrameGenerationNew, false}, {0x0220, FrameGenerationNew, true},
      {0x0227, FrameGenerationNew, true},  {0x0300, FrameGenerationNew, false}, {0x0301, FrameGenerationNew, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FrameGenerationFor(c.version), c.generation) << std::hex << c.version;
    EXPECT_EQ(ResetCardTakesParameter(c.version), c.resetTakesParameter) << std::hex << c.version;
  }
  EXPECT_TRUE(FirmwareVersionTooOld(0x101));
  EXPECT_FALSE(FirmwareVersionTooOld(0x102));
}

TEST(FirmwareGeneration, BuildsTheResetParameterFromTheRequest) {
  const struct {
    const char* what;
    ULONG minor;
    USHORT warm, version;
    UCHAR parameter;
  } cases[] = {
      {"cold reset", 1, 0, 0x227, 0x00},
      {"warm reset", 2, 1, 0x227, 0x03},
      {"warm reset on 3.01, which has no warm reset", 2, 1, 0x301, 0x01},
      {"protocols T=0 and T=1", 3, 0, 0x227, 0x00},
  };
  for (const auto& c : cases) EXPECT_EQ(ResetCardParameter(c.minor, c.warm, c.version), c.parameter) << c.what;
}

TEST(VersionText, ReadsMinorDigitsAsHexadecimal) {
  const struct {
    const char* text;
    FRAME_GENERATION generation;
    UCHAR major, minor;
  } cases[] = {
      {"227", FrameGenerationNew, 2, 0x27},
      {"21a", FrameGenerationNew, 2, 0x1A},  // a small letter counts as a capital one
      {"21A", FrameGenerationNew, 2, 0x1A},
      {"2?z", FrameGenerationNew, 2, 35},    // anything but a digit or letter counts 0; z is 35
      {"150", FrameGenerationOld, 1, 0x50},
      {"21a", FrameGenerationOld, 2, 0x41},  // the old reading: (1 x 16 + 0x31) modulo 256
  };
  for (const auto& c : cases) {
    const FIRMWARE_VERSION_TEXT version =
        ParseFirmwareVersion(c.generation, static_cast<UCHAR>(c.text[0]), static_cast<UCHAR>(c.text[1]),
                             static_cast<UCHAR>(c.text[2]));
    EXPECT_EQ(version.Major, c.major) << c.text;
    EXPECT_EQ(version.Minor, c.minor) << c.text;
  }
}

}  // namespace
