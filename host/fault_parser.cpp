// The words of `card fault ...` and `reader fault ...`.
#include "host/fault_parser.h"

#include "host/arguments.h"
#include "host/script.h"

namespace host {
namespace {

constexpr Choice<FaultKind> kCardFaults[] = {{"bad-lrc", FaultKind::BadLrc},
                                             {"wrong-sequence", FaultKind::WrongSequence},
                                             {"r-block", FaultKind::RBlock},
                                             {"s-request", FaultKind::SRequest},
                                             {"silence", FaultKind::Silence},
                                             {"garbage", FaultKind::Garbage},
                                             {"corrupt-received", FaultKind::CorruptReceived}};
constexpr Choice<FaultKind> kReaderFaults[] = {{"split", FaultKind::Split},
                                               {"delay", FaultKind::Delay},
                                               {"withhold", FaultKind::Withhold},
                                               {"bad-check-byte", FaultKind::BadCheckByte},
                                               {"error-reply", FaultKind::ErrorReply},
                                               {"oversized", FaultKind::Oversized},
                                               {"truncate", FaultKind::Truncate},
                                               {"no-reply", FaultKind::NoReply},
                                               {"usb-stall", FaultKind::UsbStall},
                                               {"usb-error", FaultKind::UsbError}};
constexpr Choice<std::uint32_t> kSRequests[] = {{"resynch", 0}, {"ifs", 1}, {"abort", 2}, {"wtx", 3}};
constexpr Choice<bool> kDirections[] = {{"out", false}, {"in", true}};

// A reply is at most an old-generation header's 24-bit length plus the header.
constexpr std::uint32_t kMaxReplyLength = 0xFFFFFF;
constexpr std::size_t kMaxSplits = 16;
constexpr std::size_t kMaxGarbage = 259;  // the longest T=1 block

bool Value(Words& words, std::string_view text, std::uint32_t min, std::uint32_t max, const char* what,
           std::uint32_t* out) {
  if (text.empty()) return words.Fail(std::string(what) + " is missing");
  std::optional<std::uint64_t> value = words.Number(text, max, what);
  if (!value) return false;
  if (*value < min) return words.Fail(std::string(what) + " must be at least " + std::to_string(min));
  *out = static_cast<std::uint32_t>(*value);
  return true;
}

bool ParseSizes(Words& words, std::string_view text, FaultRequest& fault) {
  if (text.empty()) return words.Fail("the sizes are missing (such as 3-4)");
  for (std::size_t start = 0; start <= text.size();) {
    std::size_t end = text.find('-', start);
    if (end == std::string_view::npos) end = text.size();
    std::uint32_t size = 0;
    if (!Value(words, text.substr(start, end - start), 1, kMaxReplyLength, "size", &size)) return false;
    if (fault.sizes.size() == kMaxSplits) return words.Fail("at most 16 sizes");
    fault.sizes.push_back(size);
    start = end + 1;
  }
  return true;
}

// The kind's own words after it; how many positional words the line holds.
bool ParseArguments(Words& words, FaultRequest& fault, std::size_t* positional) {
  const std::string_view argument = words.At(2);
  *positional = 2;
  switch (fault.kind) {
    case FaultKind::RBlock:
      *positional = 3;
      return Value(words, argument, 0, 3, "the error code", &fault.value);
    case FaultKind::SRequest: {
      *positional = 3;
      std::optional<std::uint32_t> type = Choose(words, argument, kSRequests, "request type");
      if (!type) return false;
      fault.value = *type;
      std::optional<std::string_view> inf = words.Take("inf");
      if (inf && (*type == 0 || *type == 2)) return words.Fail("a RESYNCH or ABORT request carries no inf=");
      // IFS 0 would leave no room for data; WTX 0 counts as 1 anyway.
      std::uint32_t value = *type == 1 ? 254 : 1;
      if (inf && !Value(words, *inf, 1, 254, "inf=", &value)) return false;
      fault.inf = static_cast<std::uint8_t>(value);
      return true;
    }
    case FaultKind::Garbage: {
      *positional = 3;
      if (argument.empty()) return words.Fail("the bytes are missing (hex)");
      std::optional<Bytes> raw = words.Hex(argument, kMaxGarbage, "garbage");
      if (!raw) return false;
      fault.raw = std::move(*raw);
      return true;
    }
    case FaultKind::Split:
      *positional = 3;
      return ParseSizes(words, argument, fault);
    case FaultKind::Delay:
      *positional = 3;
      return Value(words, argument, 0, kMaxMilliseconds, "the delay in milliseconds", &fault.value);
    case FaultKind::Truncate:
      *positional = 3;
      return Value(words, argument, 0, kMaxReplyLength, "the number of bytes kept", &fault.value);
    case FaultKind::Oversized:
      fault.value = 0x020000;
      if (argument.empty()) return true;
      *positional = 3;
      return Value(words, argument, 1, kMaxReplyLength, "the length announced", &fault.value);
    case FaultKind::UsbStall:
    case FaultKind::UsbError: {
      if (argument.empty()) return true;
      *positional = 3;
      std::optional<bool> in = Choose(words, argument, kDirections, "direction");
      if (in) fault.in = *in;
      return in.has_value();
    }
    default:
      return true;
  }
}

}  // namespace

bool ParseFault(bool card, Words& words, FaultRequest& fault) {
  std::optional<FaultKind> kind = card ? Choose(words, words.At(1), kCardFaults, "card fault")
                                       : Choose(words, words.At(1), kReaderFaults, "reader fault");
  if (!kind) return false;
  fault.kind = *kind;
  std::size_t positional = 2;
  if (!ParseArguments(words, fault, &positional)) return false;
  if (std::optional<std::string_view> at = words.Take("at")) {
    if (!Value(words, *at, 1, kMaxFaultAt, "at=", &fault.at)) return false;
  }
  if (std::optional<std::string_view> count = words.Take("count")) {
    if (!Value(words, *count, 1, kMaxFaultCount, "count=", &fault.count)) return false;
  }
  return words.Finish(positional);
}

std::optional<FaultRequest> ParseFaultLine(std::string_view line, std::string* error) {
  const ParsedLine parsed = ParseScriptLine(line);
  if (!parsed.error.empty()) {
    *error = parsed.error;
  } else if (parsed.blank || parsed.command.verb != Verb::Fault) {
    *error = "\"" + std::string(line) + "\" is not a card fault or reader fault";
  } else {
    return parsed.command.fault;
  }
  return std::nullopt;
}

}  // namespace host
