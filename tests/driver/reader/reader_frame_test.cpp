// The reader's frames and the firmware-version decisions, as pure functions
// of bytes.
#include <gtest/gtest.h>

#include <vector>

#include "driver/reader/firmware_generation.h"
#include "driver/reader/reader_frame.h"
#include "driver/reader/version_text.h"

namespace {

using Bytes = std::vector<UCHAR>;

struct CommandFrameCase {
  const char* what;
  FRAME_GENERATION generation;
  UCHAR sequence;
  UCHAR command;
  Bytes parameters;
  Bytes frame;
};

TEST(ReaderFrame, BuildsReaderCommandFramesOfBothGenerations) {
  const CommandFrameCase cases[] = {
      // address, control, N, 01 31, check byte 12^00^02^01^31
      {"status, sequence 0", FrameGenerationNew, 0x00, 0x31, {}, {0x12, 0x00, 0x02, 0x01, 0x31, 0x20}},
      {"status, sequence 0x40", FrameGenerationNew, 0x40, 0x31, {}, {0x12, 0x40, 0x02, 0x01, 0x31, 0x60}},
      {"ATR with its two ignored parameters", FrameGenerationNew, 0x00, 0x35, {0x0A, 0x00},
       {0x12, 0x00, 0x04, 0x01, 0x35, 0x0A, 0x00, 0x28}},
      {"warm reset with parameter 3", FrameGenerationNew, 0x40, 0xD1, {0x03}, {0x12, 0x40, 0x03, 0x01, 0xD1, 0x03, 0x82}},
      {"0xB0 with parameter 5", FrameGenerationNew, 0x00, 0xB0, {0x00, 0x05},
       {0x12, 0x00, 0x04, 0x01, 0xB0, 0x00, 0x05, 0xA2}},
      // type, 24-bit length, 01 31, no check byte
      {"old status", FrameGenerationOld, 0x40, 0x31, {}, {0x10, 0x00, 0x00, 0x02, 0x01, 0x31}},
      {"old ATR", FrameGenerationOld, 0x00, 0x35, {0x0A, 0x00}, {0x10, 0x00, 0x00, 0x04, 0x01, 0x35, 0x0A, 0x00}},
      {"old 0xD8 with parameter 7", FrameGenerationOld, 0x00, 0xD8, {0x00, 0x07},
       {0x10, 0x00, 0x00, 0x04, 0x01, 0xD8, 0x00, 0x07}},
  };
  for (const CommandFrameCase& c : cases) {
    UCHAR frame[ReaderCommandFrameMax] = {};
    const ULONG length = BuildReaderCommandFrame(c.generation, c.sequence, c.command, c.parameters.data(),
                                                 static_cast<ULONG>(c.parameters.size()), frame);
    EXPECT_EQ(Bytes(frame, frame + length), c.frame) << c.what;
  }
}

struct ReplyCase {
  const char* what;
  FRAME_GENERATION generation;
  Bytes reply;
  BOOLEAN lengthKnown;
  ULONG offset;
  ULONG length;
  ULONG present;
};

TEST(ReaderFrame, DescribesTheInformationFieldOfAReply) {
  const ReplyCase cases[] = {
      {"new, complete: 01 31 28 90 00", FrameGenerationNew, {0x12, 0x00, 0x05, 0x01, 0x31, 0x28, 0x90, 0x00, 0x9F},
       TRUE, 3, 5, 5},
      {"new, three bytes: no length read yet", FrameGenerationNew, {0x12, 0x00, 0x05}, FALSE, 3, 0, 0},
      {"new, cut after the status byte", FrameGenerationNew, {0x12, 0x00, 0x05, 0x01, 0x31, 0x28}, TRUE, 3, 5, 3},
      {"new, bytes beyond the frame do not count", FrameGenerationNew, {0x12, 0x00, 0x01, 0x01, 0x10, 0xEE, 0xEE},
       TRUE, 3, 1, 1},
      {"old, complete", FrameGenerationOld, {0x10, 0x00, 0x00, 0x05, 0x01, 0x31, 0x28, 0x90, 0x00}, TRUE, 4, 5, 5},
      {"old, 24-bit length, header only", FrameGenerationOld, {0x10, 0x01, 0x02, 0x03}, TRUE, 4, 0x010203, 0},
  };
  for (const ReplyCase& c : cases) {
    const REPLY_LAYOUT layout = DescribeReply(c.generation, c.reply.data(), static_cast<ULONG>(c.reply.size()));
    EXPECT_EQ(layout.LengthKnown, c.lengthKnown) << c.what;
    EXPECT_EQ(layout.InformationOffset, c.offset) << c.what;
    EXPECT_EQ(layout.InformationLength, c.length) << c.what;
    EXPECT_EQ(layout.InformationPresent, c.present) << c.what;
  }
}

TEST(FirmwareGeneration, DecidesFrameGenerationAndResetParameterByVersion) {
  struct {
    USHORT version;
    FRAME_GENERATION generation;
    bool resetTakesParameter;
  } const cases[] = {
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
  struct {
    const char* what;
    ULONG minor;
    USHORT warm;
    USHORT version;
    UCHAR parameter;
  } const cases[] = {
      {"cold reset", 1, 0, 0x227, 0x00},
      {"warm reset", 2, 1, 0x227, 0x03},
      {"warm reset on 3.01, which has no warm reset", 2, 1, 0x301, 0x01},
      {"protocol T=1 only", 2, 0, 0x227, 0x01},
      {"protocols T=0 and T=1", 3, 0, 0x227, 0x00},
      {"protocol T=0", 1, 0, 0x227, 0x00},
  };
  for (const auto& c : cases) EXPECT_EQ(ResetCardParameter(c.minor, c.warm, c.version), c.parameter) << c.what;
}

TEST(VersionText, ReadsMinorDigitsAsHexadecimal) {
  struct {
    const char* text;
    FRAME_GENERATION generation;
    UCHAR major;
    UCHAR minor;
  } const cases[] = {
      {"227", FrameGenerationNew, 2, 0x27},
      {"21a", FrameGenerationNew, 2, 0x1A},  // a small letter counts as a capital one
      {"21A", FrameGenerationNew, 2, 0x1A},
      {"301", FrameGenerationNew, 3, 0x01},
      {"2?z", FrameGenerationNew, 2, 35},    // anything but a digit or letter counts 0; z is 35
      {"150", FrameGenerationOld, 1, 0x50},
      {"21a", FrameGenerationOld, 2, 0x41},  // the old reading: (1 x 16 + 0x31) modulo 256
  };
  for (const auto& c : cases) {
    const FIRMWARE_VERSION_TEXT version = ParseFirmwareVersion(c.generation, static_cast<UCHAR>(c.text[0]),
                                                               static_cast<UCHAR>(c.text[1]),
                                                               static_cast<UCHAR>(c.text[2]));
    EXPECT_EQ(version.Major, c.major) << c.text;
    EXPECT_EQ(version.Minor, c.minor) << c.text;
  }
}

}  // namespace
