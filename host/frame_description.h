// One level of meaning for a reader frame, for traces: the reader command
// and its name, the T=1 block kind with N(S) or N(R), the T=0 command header
// or procedure byte, the error reply. The bytes themselves are shown beside
// it, so nothing here hides what crossed.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "host/bus_frames.h"

namespace host {

// What a request frame asked for; a reply is read in its light.
struct RequestFrame {
  enum class Kind { None, ReaderCommand, T1Block, T0Frame, OldCardFrame, Other };
  Kind kind = Kind::None;
  bool oldGeneration = false;
  std::uint8_t command = 0;  // ReaderCommand: the command byte
};

RequestFrame ClassifyRequest(std::span<const std::uint8_t> frame);

// "status" for 0x31; nullptr for a byte that is no reader command.
const char* ReaderCommandName(std::uint8_t command);

// ISO/IEC 7816-3 clause 11.3.2: the block by its PCB, with N(S) or N(R),
// its length and whether its check byte holds: "T=1 I-block N(S)=1, more
// data, 32 bytes".
std::string DescribeT1Block(std::span<const std::uint8_t> block);

std::string DescribeRequest(std::span<const std::uint8_t> frame);
std::string DescribeReply(std::span<const std::uint8_t> frame, const RequestFrame& request);

}  // namespace host
