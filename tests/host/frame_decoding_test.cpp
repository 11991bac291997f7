// Trace decoding: replies put back together from their bulk transfers by
// the length their header announces, and one level of meaning for each
// frame, checked on annotated bytes of both generations.
#include <gtest/gtest.h>

#include "host/bus_frames.h"
#include "host/frame_description.h"

namespace {

using host::BusFrame;
using host::Bytes;
using host::Direction;

// The frame with its XOR check byte appended (new generation).
Bytes Checked(Bytes frame) {
  std::uint8_t check = 0;
  for (std::uint8_t b : frame) check ^= b;
  frame.push_back(check);
  return frame;
}

Bytes Concat(Bytes a, std::size_t n, std::uint8_t value) {
  a.insert(a.end(), n, value);
  return a;
}

TEST(AnnouncedFrameLength, ReadsEachHeaderItsOwnWay) {
  const struct {
    Bytes head;
    bool oldGeneration;
    std::optional<std::size_t> length;
  } cases[] = {
      {{0x25, 0x40, 0x20}, false, 36},            // a T=1 block from the card
      {{0x52, 0x00, 0x01}, false, std::nullopt},  // a T=0 frame needs its second length byte
      {{0x52, 0x00, 0x01, 0x02}, false, 263},     // 0x0102 data bytes behind four, then the check byte
      {{0x21, 0x00, 0x00, 0x04}, true, 8},    // the old generation's error reply
  };
  for (const auto& c : cases) EXPECT_EQ(host::AnnouncedFrameLength(c.head, c.oldGeneration), c.length);
}

TEST(FrameAssembler, GathersRepliesByTheirGenerationAndShowsWhatWasCutShort) {
  const Bytes reply = Checked({0x12, 0x00, 0x05, 0x01, 0x31, 0x38, 0x90, 0x00});
  const Bytes oldReply = Concat({0x10, 0x00, 0x01, 0x02}, 258, 0xAB);  // 262 bytes, read as 256 and 6
  const std::vector<host::BusTransfer> transfers = {
      {Direction::Out, 1, Checked({0x12, 0x00, 0x02, 0x01, 0x31})},
      {Direction::In, 2, {}},  // nothing yet
      {Direction::In, 3, Bytes(reply.begin(), reply.begin() + 3)},
      {Direction::In, 4, Bytes(reply.begin() + 3, reply.end())},
      {Direction::Out, 5, {0x10, 0x00, 0x00, 0x02, 0x01, 0xD3}},
      {Direction::In, 6, Bytes(oldReply.begin(), oldReply.begin() + 256)},
      {Direction::In, 7, Bytes(oldReply.begin() + 256, oldReply.end())},
      {Direction::Out, 8, Checked(Concat({0x52, 0x00, 0x3C}, 60, 0x11))},
      {Direction::Out, 9, {}},  // the zero-length packet after 64 bytes
      {Direction::In, 10, {0x25, 0x00}},
      {Direction::Out, 11, Checked({0x52, 0x82, 0x00})},  // the host gave up on the block and sent an R-block
  };
  host::FrameAssembler assembler;
  std::vector<BusFrame> frames;
  std::vector<std::string> seen;
  for (const host::BusTransfer& transfer : transfers) {
    for (BusFrame& frame : assembler.Add(transfer)) {
      seen.push_back(std::string(frame.direction == Direction::In ? "IN " : "OUT ") + std::to_string(frame.bytes.size()) +
                     " at " + std::to_string(frame.time) + (frame.complete ? "" : " cut short"));
      frames.push_back(std::move(frame));
    }
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"OUT 6 at 1", "IN 9 at 4", "OUT 6 at 5", "IN 262 at 7", "OUT 64 at 8",
                                            "OUT 0 at 9", "IN 2 at 10 cut short", "OUT 4 at 11"}));
  ASSERT_EQ(frames.size(), 8u);
  EXPECT_EQ(frames[1].bytes, reply);
  EXPECT_EQ(frames[3].bytes, oldReply);
  EXPECT_FALSE(assembler.Flush());
}

// Request frames stand alone; replies are read in the light of the request
// before them.
TEST(FrameDescription, NamesEveryFrame) {
  const host::RequestFrame none{};
  const host::RequestFrame status = host::ClassifyRequest(Checked({0x12, 0x00, 0x02, 0x01, 0x31}));
  const host::RequestFrame block = host::ClassifyRequest(Checked({0x52, 0x00, 0x01, 0x00}));
  const host::RequestFrame t0 = host::ClassifyRequest(Checked({0x52, 0x00, 0x00, 0x05, 0x00, 0xB0, 0x00, 0x00, 0x02}));
  const host::RequestFrame oldResult = host::ClassifyRequest(Bytes{0x10, 0x00, 0x00, 0x02, 0x01, 0xD3});
  const host::RequestFrame oldCard = host::ClassifyRequest(Bytes{0x51, 0x00, 0x00, 0x04, 0x00, 0x70, 0x00, 0x00});
  const struct {
    Bytes frame;
    const host::RequestFrame& request;  // none: the frame is a request
    const char* meaning;
  } cases[] = {
      {{}, none, "zero-length packet"},
      {Checked({0x12, 0x40, 0x04, 0x01, 0x35, 0x0A, 0x00}), none,
       "reader command 0x35 get ATR, parameters 0A 00, control 40"},
      {{0x12, 0x00, 0x02, 0x01, 0x31, 0x21}, none, "reader command 0x31 status, control 00, wrong check byte"},
      {Checked({0x12, 0x40, 0x02, 0x00, 0xF5}), none, "firmware restart 00 F5, control 40"},
      {{0x12, 0x00, 0x09, 0x01}, none, "reader frame whose length does not match its header"},
      {{0x10, 0x00, 0x00, 0x04, 0x01, 0xB0, 0x00, 0x05}, none,
       "reader command 0xB0 command B0, parameters 00 05, old generation"},
      // T=1 blocks (ISO/IEC 7816-3 clause 11.3): NAD 52 to the card, 25 from it, PCB, LEN, INF, LRC.
      {Checked(Concat({0x52, 0x20, 0x20}, 32, 0x00)), none, "T=1 I-block N(S)=0, more data, 32 bytes"},
      {Checked({0x52, 0x90, 0x00}), none, "T=1 R-block N(R)=1, error-free"},
      {Checked({0x52, 0x81, 0x00}), none, "T=1 R-block N(R)=0, check-byte error"},
      {Checked({0x52, 0xC0, 0x00}), none, "T=1 S-block RESYNCH request"},
      {{0x52, 0x00, 0x00, 0x53}, none, "T=1 I-block N(S)=0, 0 bytes, wrong check byte"},
      {Checked({0x25, 0xC3, 0x01, 0x02}), block, "T=1 S-block WTX request, INF 02"},
      // T=0 frames: 52, control, two length bytes, the command, check byte.
      {Checked({0x52, 0x40, 0x00, 0x07, 0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}), none,
       "T=0 command 00 A4 00 0C 02, 2 data bytes"},
      {Checked({0x52, 0x00, 0x00, 0x01, 0x60}), t0, "T=0 NULL procedure byte 60, the card asks for time"},
      {Checked({0x52, 0x00, 0x00, 0x04, 0xAA, 0xBB, 0x90, 0x00}), t0, "T=0 response, 2 data bytes, SW1 SW2 90 00"},
      {{0x52, 0x00, 0x00, 0x02, 0x6A, 0x82, 0x00}, t0, "T=0 response, 0 data bytes, SW1 SW2 6A 82, wrong check byte"},
      // Replies to reader commands; the error reply is 21, control, 4, 01 <command> F<code> AD.
      {Checked({0x12, 0x00, 0x0F, 0x01, 0xC0, 'Z', 'U', 'N', 'T', 'A', ' ', 'R', '2', '.', '2', '7', 0x90, 0x00}),
       status, "reply to 0xC0 firmware version, \"ZUNTA R2.27\", status bytes 90 00"},
      {Checked({0x21, 0x00, 0x04, 0x01, 0x35, 0xF4, 0xAD}), status, "error reply to 0x35 get ATR, code F4"},
      // The old generation's card frames, which the reader runs itself.
      {{0x51, 0x00, 0x00, 0x02, 0x90, 0x00}, oldCard, "card frame taken, status bytes 90 00"},
      {{0x21, 0x00, 0x00, 0x04, 0x01, 0xD3, 0xF7, 0xAD}, oldResult,
       "error reply to 0xD3 transfer result, code F7, old generation"},
      {{0x99, 0x01}, none, "frame of unknown kind 99"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(&c.request == &none ? host::DescribeRequest(c.frame) : host::DescribeReply(c.frame, c.request), c.meaning)
        << host::ToSpacedHex(c.frame);
  }
}

}  // namespace
