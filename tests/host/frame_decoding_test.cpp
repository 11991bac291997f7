// Trace decoding: replies put back together from their bulk transfers by
// the length their header announces, and one level of meaning for each
// frame, checked on annotated bytes of both generations.
#include <gtest/gtest.h>

#include "host/bus_frames.h"
#include "host/frame_description.h"

namespace {

using host::BusFrame;
using host::BusTransfer;
using host::Bytes;
using host::Direction;
using host::RequestFrame;

// The frame with its XOR check byte appended (new generation).
Bytes Checked(Bytes frame) {
  std::uint8_t check = 0;
  for (std::uint8_t b : frame) check ^= b;
  frame.push_back(check);
  return frame;
}

Bytes Repeated(std::size_t n, std::uint8_t value) { return Bytes(n, value); }

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(AnnouncedFrameLength, ReadsEachHeaderItsOwnWay) {
  const struct {
    Bytes head;
    bool oldGeneration;
    std::optional<std::size_t> length;
  } cases[] = {
      {{}, false, std::nullopt},
      {{0x12, 0x00}, false, std::nullopt},        // the length byte has not arrived
      {{0x12, 0x00, 0x05}, false, 9},             // address, control, N = 5, check byte
      {{0x25, 0x40, 0x20}, false, 36},            // a T=1 block from the card
      {{0x52, 0x00, 0x01}, false, std::nullopt},  // a T=0 frame needs its second length byte
      {{0x52, 0x00, 0x01, 0x02}, false, 263},     // 0x0102 data bytes behind four, then the check byte
      {{0x10, 0x00, 0x01}, true, std::nullopt},
      {{0x10, 0x00, 0x01, 0x02}, true, 262},  // 24-bit length 0x000102 behind a 4-byte header
      {{0x21, 0x00, 0x00, 0x04}, true, 8},    // the old generation's error reply
  };
  for (const auto& c : cases) EXPECT_EQ(host::AnnouncedFrameLength(c.head, c.oldGeneration), c.length);
}

std::vector<BusFrame> Feed(host::FrameAssembler& assembler, const std::vector<BusTransfer>& transfers) {
  std::vector<BusFrame> frames;
  for (const BusTransfer& transfer : transfers) {
    for (BusFrame& frame : assembler.Add(transfer)) frames.push_back(std::move(frame));
  }
  return frames;
}

TEST(FrameAssembler, GathersAReplyFromItsPieces) {
  host::FrameAssembler assembler;
  const Bytes request = Checked({0x12, 0x00, 0x02, 0x01, 0x31});
  const Bytes reply = Checked({0x12, 0x00, 0x05, 0x01, 0x31, 0x38, 0x90, 0x00});
  const std::vector<BusTransfer> transfers = {
      {Direction::Out, 10, request},
      {Direction::In, 20, {}},  // nothing yet
      {Direction::In, 30, Bytes(reply.begin(), reply.begin() + 3)},
      {Direction::In, 40, Bytes(reply.begin() + 3, reply.end())},
  };
  const std::vector<BusFrame> frames = Feed(assembler, transfers);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].direction, Direction::Out);
  EXPECT_EQ(frames[0].bytes, request);
  EXPECT_EQ(frames[1].direction, Direction::In);
  EXPECT_EQ(frames[1].bytes, reply);
  EXPECT_EQ(frames[1].time, 40);  // when its last piece crossed
  EXPECT_TRUE(frames[1].complete);
  EXPECT_FALSE(assembler.Flush());
}

TEST(FrameAssembler, ReadsOldGenerationRepliesByTheirRequest) {
  host::FrameAssembler assembler;
  // A 262-byte old-generation reply arrives as 256 bytes and 6.
  const Bytes reply = Concat({0x10, 0x00, 0x01, 0x02}, Repeated(258, 0xAB));
  const std::vector<BusFrame> frames =
      Feed(assembler, {
                          {Direction::Out, 1, {0x10, 0x00, 0x00, 0x02, 0x01, 0xD3}},
                          {Direction::In, 2, Bytes(reply.begin(), reply.begin() + 256)},
                          {Direction::In, 3, Bytes(reply.begin() + 256, reply.end())},
                      });
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1].bytes, reply);
}

TEST(FrameAssembler, ShowsZeroLengthPacketsAndRepliesCutShort) {
  host::FrameAssembler assembler;
  const Bytes frame64 = Checked(Concat({0x52, 0x00, 0x3C}, Repeated(60, 0x11)));
  ASSERT_EQ(frame64.size(), 64u);
  const std::vector<BusTransfer> transfers = {
      {Direction::Out, 1, frame64},
      {Direction::Out, 2, {}},  // the zero-length packet
      {Direction::In, 3, {0x25, 0x00}},
      {Direction::Out, 4, Checked({0x52, 0x82, 0x00})},
  };
  const std::vector<BusFrame> frames = Feed(assembler, transfers);
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_TRUE(frames[1].bytes.empty());
  EXPECT_EQ(frames[2].bytes, (Bytes{0x25, 0x00}));  // the host gave up on it and sent an R-block
  EXPECT_FALSE(frames[2].complete);
  EXPECT_EQ(frames[3].direction, Direction::Out);
}

TEST(FrameDescription, NamesEveryRequestFrame) {
  const struct {
    Bytes frame;
    const char* meaning;
  } cases[] = {
      {{}, "zero-length packet"},
      {Checked({0x12, 0x00, 0x02, 0x01, 0x31}), "reader command 0x31 status, control 00"},
      {Checked({0x12, 0x40, 0x04, 0x01, 0x35, 0x0A, 0x00}),
       "reader command 0x35 get ATR, parameters 0A 00, control 40"},
      {Checked({0x12, 0x40, 0x03, 0x01, 0xD1, 0x03}), "reader command 0xD1 card reset, parameters 03, control 40"},
      {{0x12, 0x00, 0x02, 0x01, 0x31, 0x21}, "reader command 0x31 status, control 00, wrong check byte"},
      {Checked({0x12, 0x40, 0x02, 0x00, 0xF5}), "firmware restart 00 F5, control 40"},
      {Checked({0x12, 0x00, 0x02, 0x01, 0x77}), "reader command 0x77, control 00"},
      {{0x12, 0x00, 0x09, 0x01}, "reader frame whose length does not match its header"},
      {{0x10, 0x00, 0x00, 0x02, 0x01, 0xC0}, "reader command 0xC0 firmware version, old generation"},
      {{0x10, 0x00, 0x00, 0x04, 0x01, 0xB0, 0x00, 0x05},
       "reader command 0xB0 command B0, parameters 00 05, old generation"},
      // T=1 blocks (ISO/IEC 7816-3 clause 11.3): NAD 52, PCB, LEN, INF, LRC.
      {Checked(Concat({0x52, 0x20, 0x20}, Repeated(32, 0x00))), "T=1 I-block N(S)=0, more data, 32 bytes"},
      {Checked(Concat({0x52, 0x40, 0x08}, Repeated(8, 0x00))), "T=1 I-block N(S)=1, 8 bytes"},
      {Checked({0x52, 0x90, 0x00}), "T=1 R-block N(R)=1, error-free"},
      {Checked({0x52, 0x81, 0x00}), "T=1 R-block N(R)=0, check-byte error"},
      {Checked({0x52, 0x92, 0x00}), "T=1 R-block N(R)=1, other error"},
      {Checked({0x52, 0xC0, 0x00}), "T=1 S-block RESYNCH request"},
      {Checked({0x52, 0xE1, 0x01, 0x80}), "T=1 S-block IFS response, INF 80"},
      {Checked({0x52, 0xE2, 0x00}), "T=1 S-block ABORT response"},
      {Checked({0x52, 0xE3, 0x01, 0x03}), "T=1 S-block WTX response, INF 03"},
      {{0x52, 0x00, 0x00, 0x53}, "T=1 I-block N(S)=0, 0 bytes, wrong check byte"},
      // T=0 frames: 52, control, two length bytes, the command, check byte.
      {Checked({0x52, 0x00, 0x00, 0x05, 0x00, 0xB0, 0x00, 0x00, 0x10}), "T=0 command 00 B0 00 00 10"},
      {Checked({0x52, 0x40, 0x00, 0x07, 0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}),
       "T=0 command 00 A4 00 0C 02, 2 data bytes"},
      {Checked({0x52, 0x00, 0x00, 0x04, 0x00, 0x70, 0x00, 0x00}), "T=0 command 00 70 00 00"},
      // The old generation's card frames, which the reader runs itself.
      {{0x51, 0x00, 0x00, 0x07, 0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00},
       "old-generation card frame for T=1, 7 command bytes"},
      {{0x50, 0x00, 0x00, 0x05, 0x00, 0xB0, 0x00, 0x00, 0x02}, "old-generation card frame for T=0, 5 command bytes"},
      {{0x99, 0x01}, "frame of unknown kind 99"},
  };
  for (const auto& c : cases) EXPECT_EQ(host::DescribeRequest(c.frame), c.meaning) << host::ToSpacedHex(c.frame);
}

TEST(FrameDescription, ReadsEachReplyInTheLightOfItsRequest) {
  const RequestFrame status = host::ClassifyRequest(Checked({0x12, 0x00, 0x02, 0x01, 0x31}));
  const RequestFrame block = host::ClassifyRequest(Checked({0x52, 0x00, 0x01, 0x00}));
  const RequestFrame t0 = host::ClassifyRequest(Checked({0x52, 0x00, 0x00, 0x05, 0x00, 0xB0, 0x00, 0x00, 0x02}));
  const RequestFrame oldResult = host::ClassifyRequest(Bytes{0x10, 0x00, 0x00, 0x02, 0x01, 0xD3});
  const RequestFrame oldCard = host::ClassifyRequest(Bytes{0x51, 0x00, 0x00, 0x04, 0x00, 0x70, 0x00, 0x00});
  EXPECT_EQ(block.kind, RequestFrame::Kind::T1Block);
  EXPECT_EQ(t0.kind, RequestFrame::Kind::T0Frame);
  const Bytes version = {0x12, 0x00, 0x0F, 0x01, 0xC0, 'Z', 'U', 'N',  'T',
                         'A',  ' ',  'R',  '2',  '.',  '2', '7', 0x90, 0x00};
  const struct {
    Bytes frame;
    RequestFrame request;
    const char* meaning;
  } cases[] = {
      {Checked({0x12, 0x00, 0x05, 0x01, 0x31, 0x38, 0x90, 0x00}), status,
       "reply to 0x31 status, status byte 38, status bytes 90 00"},
      {Checked(version), status, "reply to 0xC0 firmware version, \"ZUNTA R2.27\", status bytes 90 00"},
      {Checked({0x12, 0x40, 0x05, 0x01, 0xD2, 0x02, 0x90, 0x00}), status,
       "reply to 0xD2 transfer status, transfer state 2, status bytes 90 00"},
      {Checked({0x12, 0x40, 0x0E, 0x01, 0x35, 0x3B, 0x84, 0x81, 0x11, 0x20, 0x45, 0x4D, 0x55, 0x31, 0x58, 0x90, 0x00}),
       status, "reply to 0x35 get ATR, 10 data bytes, status bytes 90 00"},
      // The reader's error reply: 21, control, 4, then 01 <command> F<code> AD.
      {Checked({0x21, 0x00, 0x04, 0x01, 0x35, 0xF4, 0xAD}), status, "error reply to 0x35 get ATR, code F4"},
      // The card's T=1 blocks come back with NAD 25.
      {Checked({0x25, 0x00, 0x02, 0x90, 0x00}), block, "T=1 I-block N(S)=0, 2 bytes"},
      {Checked({0x25, 0xC3, 0x01, 0x02}), block, "T=1 S-block WTX request, INF 02"},
      {Checked({0x25, 0xC1, 0x01, 0x80}), block, "T=1 S-block IFS request, INF 80"},
      // T=0: the NULL procedure byte comes as a frame of its own.
      {Checked({0x52, 0x00, 0x00, 0x01, 0x60}), t0, "T=0 NULL procedure byte 60, the card asks for time"},
      {Checked({0x52, 0x00, 0x00, 0x04, 0xAA, 0xBB, 0x90, 0x00}), t0, "T=0 response, 2 data bytes, SW1 SW2 90 00"},
      {{0x52, 0x00, 0x00, 0x02, 0x6A, 0x82, 0x00}, t0, "T=0 response, 0 data bytes, SW1 SW2 6A 82, wrong check byte"},
      // Old generation: the transfer result is the card's answer alone.
      {{0x10, 0x00, 0x00, 0x02, 0x90, 0x00},
       oldResult,
       "transfer result, the card's answer of 2 bytes, old generation"},
      {{0x51, 0x00, 0x00, 0x02, 0x90, 0x00}, oldCard, "card frame taken, status bytes 90 00"},
      {{0x21, 0x00, 0x00, 0x04, 0x01, 0xD3, 0xF7, 0xAD},
       oldResult,
       "error reply to 0xD3 transfer result, code F7, old generation"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(host::DescribeReply(c.frame, c.request), c.meaning) << host::ToSpacedHex(c.frame);
}

}  // namespace
