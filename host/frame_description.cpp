#include "host/frame_description.h"

#include <cstdio>

namespace host {
namespace {

constexpr std::uint8_t kNewCommandAddress = 0x12;
constexpr std::uint8_t kCardAddress = 0x52;
constexpr std::uint8_t kErrorReplyAddress = 0x21;
constexpr std::uint8_t kOldCommandType = 0x10;
constexpr std::uint8_t kOldT0CardType = 0x50;
constexpr std::uint8_t kOldT1CardType = 0x51;
constexpr std::uint8_t kCommandClass = 0x01;
constexpr std::uint8_t kTransferResult = 0xD3;
// ISO/IEC 7816-3 clause 10.3.3: the card asks for more time.
constexpr std::uint8_t kNullProcedureByte = 0x60;

struct CommandName {
  std::uint8_t command;
  const char* name;
};

constexpr CommandName kCommands[] = {
    {0x31, "status"},          {0x35, "get ATR"},          {0x39, "eject"},          {0x41, "set-up, step 2"},
    {0xB0, "command B0"},      {0xC0, "firmware version"}, {0xD0, "set-up, step 1"}, {0xD1, "card reset"},
    {0xD2, "transfer status"}, {0xD3, "transfer result"},  {0xD8, "command D8"},
};

std::string Hex2(std::uint8_t value) {
  char text[4];
  std::snprintf(text, sizeof text, "%02X", value);
  return text;
}

std::string Count(std::size_t n, const char* unit) { return std::to_string(n) + " " + unit + (n == 1 ? "" : "s"); }

bool CheckByteHolds(std::span<const std::uint8_t> frame) {
  std::uint8_t check = 0;
  for (std::size_t i = 0; i + 1 < frame.size(); ++i) check ^= frame[i];
  return !frame.empty() && check == frame.back();
}

std::string CommandText(std::uint8_t command) {
  const char* name = ReaderCommandName(command);
  return "0x" + Hex2(command) + (name != nullptr ? std::string(" ") + name : std::string());
}

// The information field of a new-generation frame that is as long as its
// header says; empty otherwise.
std::span<const std::uint8_t> Information(std::span<const std::uint8_t> frame) {
  if (frame.size() < 4 || frame.size() != std::size_t{frame[2]} + 4) return {};
  return frame.subspan(3, frame.size() - 4);
}

std::string DescribeReaderCommand(std::span<const std::uint8_t> info, bool oldGeneration, std::uint8_t control) {
  std::string text;
  if (info.size() >= 2 && info[0] == kCommandClass) {
    text = "reader command " + CommandText(info[1]);
    if (info.size() > 2) text += ", parameters " + ToSpacedHex(info.subspan(2));
  } else if (info.size() == 2 && info[0] == 0x00 && info[1] == 0xF5) {
    text = "firmware restart 00 F5";
  } else {
    text = "reader frame, information " + ToSpacedHex(info);
  }
  text += oldGeneration ? ", old generation" : ", control " + Hex2(control);
  return text;
}

std::string DescribeT0Command(std::span<const std::uint8_t> frame) {
  // Address, control, two length bytes, the TPDU, check byte.
  const std::span<const std::uint8_t> tpdu = frame.subspan(4, frame.size() - 5);
  std::string text = "T=0 command " + ToSpacedHex(tpdu.first(tpdu.size() < 5 ? tpdu.size() : 5));
  if (tpdu.size() > 5) text += ", " + Count(tpdu.size() - 5, "data byte");
  return text;
}

std::string DescribeT0Reply(std::span<const std::uint8_t> frame) {
  const std::span<const std::uint8_t> data = frame.subspan(4, frame.size() - 5);
  if (data.size() == 1 && data[0] == kNullProcedureByte) return "T=0 NULL procedure byte 60, the card asks for time";
  if (data.size() < 2) return "T=0 reply, " + Count(data.size(), "byte");
  return "T=0 response, " + Count(data.size() - 2, "data byte") + ", SW1 SW2 " +
         ToSpacedHex(data.subspan(data.size() - 2));
}

std::string DescribeCardFrame(std::span<const std::uint8_t> frame, bool request) {
  if (frame.size() >= 4 && frame.size() == std::size_t{frame[2]} + 4) return DescribeT1Block(frame);
  if (frame.size() >= 5 && frame.size() == ((std::size_t{frame[2]} << 8) | frame[3]) + 5) {
    std::string text = request ? DescribeT0Command(frame) : DescribeT0Reply(frame);
    return CheckByteHolds(frame) ? text : text + ", wrong check byte";
  }
  return "card frame whose length does not match its header";
}

std::string DescribeCommandReply(std::span<const std::uint8_t> info, const RequestFrame& request) {
  if (request.kind == RequestFrame::Kind::ReaderCommand && request.command == kTransferResult) {
    return "transfer result, the card's answer of " + Count(info.size(), "byte");
  }
  if (info.size() < 4) return "reply, " + Count(info.size(), "information byte");
  const std::span<const std::uint8_t> data = info.subspan(2, info.size() - 4);
  std::string text = "reply to " + CommandText(info[1]);
  switch (info[1]) {
    case 0x31:
      if (data.size() == 1) text += ", status byte " + Hex2(data[0]);
      break;
    case 0xD2:
      if (data.size() == 1) text += ", transfer state " + std::to_string(data[0]);
      break;
    case 0xC0:
      text += ", \"";
      for (std::uint8_t c : data) text += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
      text += "\"";
      break;
    default:
      if (!data.empty()) text += ", " + Count(data.size(), "data byte");
      break;
  }
  return text + ", status bytes " + ToSpacedHex(info.subspan(info.size() - 2));
}

std::string DescribeErrorReply(std::span<const std::uint8_t> info) {
  // 01 <command> F<code> AD.
  if (info.size() != 4) return "error reply";
  return "error reply to " + CommandText(info[1]) + ", code " + Hex2(info[2]);
}

}  // namespace

const char* ReaderCommandName(std::uint8_t command) {
  for (const CommandName& entry : kCommands) {
    if (entry.command == command) return entry.name;
  }
  return nullptr;
}

RequestFrame ClassifyRequest(std::span<const std::uint8_t> frame) {
  RequestFrame request;
  if (frame.empty()) return request;
  switch (frame[0]) {
    case kNewCommandAddress:
      request.kind = RequestFrame::Kind::ReaderCommand;
      if (frame.size() >= 5) request.command = frame[4];
      return request;
    case kCardAddress:
      request.kind = frame.size() >= 3 && frame.size() == std::size_t{frame[2]} + 4 ? RequestFrame::Kind::T1Block
                                                                                    : RequestFrame::Kind::T0Frame;
      return request;
    case kOldCommandType:
      request.kind = RequestFrame::Kind::ReaderCommand;
      request.oldGeneration = true;
      if (frame.size() >= 6) request.command = frame[5];
      return request;
    case kOldT0CardType:
    case kOldT1CardType:
      request.kind = RequestFrame::Kind::OldCardFrame;
      request.oldGeneration = true;
      return request;
    default:
      request.kind = RequestFrame::Kind::Other;
      return request;
  }
}

std::string DescribeT1Block(std::span<const std::uint8_t> block) {
  if (block.size() < 4) return "T=1 block too short";
  const std::uint8_t pcb = block[1];
  std::string text;
  if ((pcb & 0x80) == 0) {
    text = "T=1 I-block N(S)=" + std::to_string((pcb >> 6) & 1);
    if ((pcb & 0x20) != 0) text += ", more data";
    text += ", " + Count(block[2], "byte");
  } else if ((pcb & 0x40) == 0) {
    text = "T=1 R-block N(R)=" + std::to_string((pcb >> 4) & 1);
    switch (pcb & 0x0F) {
      case 0:
        text += ", error-free";
        break;
      case 1:
        text += ", check-byte error";
        break;
      case 2:
        text += ", other error";
        break;
      default:
        text += ", error code " + std::to_string(pcb & 0x0F);
        break;
    }
  } else {
    static const char* const kTypes[] = {"RESYNCH", "IFS", "ABORT", "WTX"};
    const std::uint8_t type = pcb & 0x1F;
    const std::string kind = type < 4 ? std::string(kTypes[type]) : "type " + Hex2(type);
    text = "T=1 S-block " + kind + ((pcb & 0x20) != 0 ? " response" : " request");
    if (block[2] == 1 && block.size() == 5) text += ", INF " + Hex2(block[3]);
  }
  if (!CheckByteHolds(block)) text += ", wrong check byte";
  return text;
}

std::string DescribeRequest(std::span<const std::uint8_t> frame) {
  if (frame.empty()) return "zero-length packet";
  const RequestFrame request = ClassifyRequest(frame);
  switch (request.kind) {
    case RequestFrame::Kind::ReaderCommand:
      if (request.oldGeneration) return DescribeReaderCommand(frame.subspan(4), true, 0);
      if (frame.size() < 4 || frame.size() != std::size_t{frame[2]} + 4) {
        return "reader frame whose length does not match its header";
      }
      return DescribeReaderCommand(Information(frame), false, frame[1]) +
             (CheckByteHolds(frame) ? "" : ", wrong check byte");
    case RequestFrame::Kind::T1Block:
    case RequestFrame::Kind::T0Frame:
      return DescribeCardFrame(frame, true);
    case RequestFrame::Kind::OldCardFrame:
      return std::string("old-generation card frame ") + (frame[0] == kOldT1CardType ? "for T=1" : "for T=0") + ", " +
             Count(frame.size() >= 4 ? frame.size() - 4 : 0, "command byte");
    case RequestFrame::Kind::None:
    case RequestFrame::Kind::Other:
      break;
  }
  return "frame of unknown kind " + Hex2(frame[0]);
}

std::string DescribeReply(std::span<const std::uint8_t> frame, const RequestFrame& request) {
  if (frame.empty()) return "no data";
  if (request.oldGeneration) {
    if (frame.size() < 4) return "old-generation reply, cut short";
    const std::span<const std::uint8_t> info = frame.subspan(4);
    if (frame[0] == kErrorReplyAddress) return DescribeErrorReply(info) + ", old generation";
    if (frame[0] == kOldT0CardType || frame[0] == kOldT1CardType) {
      return "card frame taken, status bytes " + ToSpacedHex(info.size() >= 2 ? info.subspan(info.size() - 2) : info);
    }
    return DescribeCommandReply(info, request) + ", old generation";
  }
  switch (frame[0]) {
    case kNewCommandAddress: {
      const std::span<const std::uint8_t> info = Information(frame);
      if (info.empty() && frame.size() != 4) return "reply whose length does not match its header";
      return DescribeCommandReply(info, request) + (CheckByteHolds(frame) ? "" : ", wrong check byte");
    }
    case kErrorReplyAddress:
      return DescribeErrorReply(Information(frame));
    case kCardAddress:
      return DescribeCardFrame(frame, false);
    default:
      // The card's own T=1 blocks: its NAD is whatever it answers with.
      if (frame.size() >= 4 && frame.size() == std::size_t{frame[2]} + 4) return DescribeT1Block(frame);
      return "reply of unknown kind " + Hex2(frame[0]);
  }
}

}  // namespace host
