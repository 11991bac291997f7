// Parsing of one script line: words, then the command's own arguments.
#include <cstdio>
#include <utility>
#include <vector>

#include "emulator/reader/reader_config.h"
#include "host/arguments.h"
#include "host/fault_parser.h"
#include "host/request_names.h"
#include "host/script.h"
#include "host/script_words.h"
#include "platform/smclib/winsmcrd.h"

namespace host {
namespace {

constexpr Choice<CardKind> kCardKinds[] = {
    {"none", CardKind::None}, {"t0", CardKind::T0},   {"t1", CardKind::T1},
    {"t0t1", CardKind::Dual}, {"vicc", CardKind::Vicc}};
constexpr Choice<Model> kModels[] = {{"kt2210", Model::Kt2210}, {"lm5520", Model::Lm5520}};
constexpr Choice<ULONG> kPowerOperations[] = {
    {"cold", SCARD_COLD_RESET}, {"warm", SCARD_WARM_RESET}, {"down", SCARD_POWER_DOWN}};
constexpr Choice<ULONG> kProtocols[] = {{"t0", SCARD_PROTOCOL_T0},
                                        {"t1", SCARD_PROTOCOL_T1},
                                        {"t0t1", SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1},
                                        {"raw", SCARD_PROTOCOL_RAW}};
constexpr Choice<bool> kTrackTargets[] = {{"present", true}, {"absent", false}};
constexpr Choice<SYSTEM_POWER_STATE> kSleepStates[] = {{"s1", PowerSystemSleeping1},
                                                       {"s2", PowerSystemSleeping2},
                                                       {"s3", PowerSystemSleeping3},
                                                       {"s4", PowerSystemHibernate},
                                                       {"s5", PowerSystemShutdown}};
constexpr Choice<UCHAR> kPnpMinors[] = {{"start", IRP_MN_START_DEVICE},
                                        {"query-remove", IRP_MN_QUERY_REMOVE_DEVICE},
                                        {"remove", IRP_MN_REMOVE_DEVICE},
                                        {"cancel-remove", IRP_MN_CANCEL_REMOVE_DEVICE},
                                        {"stop", IRP_MN_STOP_DEVICE},
                                        {"query-stop", IRP_MN_QUERY_STOP_DEVICE},
                                        {"cancel-stop", IRP_MN_CANCEL_STOP_DEVICE},
                                        {"surprise-removal", IRP_MN_SURPRISE_REMOVAL}};
constexpr Choice<VendorAction> kVendorActions[] = {{"device-descriptor", VendorAction::DeviceDescriptor},
                                                   {"config-descriptor", VendorAction::ConfigDescriptor},
                                                   {"reset-port", VendorAction::ResetPort},
                                                   {"version", VendorAction::Version},
                                                   {"eject", VendorAction::Eject},
                                                   {"b0", VendorAction::CommandB0},
                                                   {"d8", VendorAction::CommandD8},
                                                   {"pass", VendorAction::Pass}};

bool IsVersionCharacter(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool ParseOutput(Words& words, ULONG* outputLength) {
  if (std::optional<std::string_view> out = words.Take("out")) {
    std::optional<std::uint64_t> value = words.Number(*out, kMaxOutputLength, "out=");
    if (!value) return false;
    *outputLength = static_cast<ULONG>(*value);
  }
  return true;
}

// usb or usb=VVVV:PPPP[@BUS.DEV]: a physical reader; nothing of the emulated one goes with it.
bool ParsePhysicalReader(Words& words, ReaderSettings& settings) {
  const std::optional<std::string_view> ids = words.Take("usb");
  const bool bare = words.Count() == 1 && words.At(0) == "usb";
  if (!ids && !bare) return true;
  if (ids && bare) return words.Fail("usb is given twice");
  if (ids) {
    std::string error;
    settings.usb = usb::ParseDeviceMatch(*ids, &error);
    if (!settings.usb) return words.Fail("usb=: " + error);
  } else {
    const emu::ReaderConfig emulated;
    settings.usb = usb::DeviceMatch{emulated.vendorId, emulated.productId, std::nullopt, std::nullopt};
  }
  for (const char* key : {"firmware", "model", "card", "atr", "port"}) {
    if (words.Take(key)) return words.Fail(std::string(key) + "= describes the emulated reader, not a physical one");
  }
  return words.Finish(bare ? 1 : 0);
}

bool ParseReader(Words& words, ScriptCommand& command) {
  if (words.At(0) == "fault") {
    command.verb = Verb::Fault;
    return ParseFault(false, words, command.fault);
  }
  ReaderSettings& settings = command.reader;
  if (!ParsePhysicalReader(words, settings)) return false;
  if (settings.usb) return true;
  if (std::optional<std::string_view> firmware = words.Take("firmware")) {
    if (!IsFirmwareText(*firmware)) {
      return words.Fail("firmware=" + Quoted(*firmware) + " is not a version text such as 2.27");
    }
    settings.firmware = std::string(*firmware);
  }
  if (std::optional<std::string_view> model = words.Take("model")) {
    settings.model = Choose(words, *model, kModels, "model");
    if (!settings.model) return false;
  }
  if (std::optional<std::string_view> card = words.Take("card")) {
    settings.card = Choose(words, *card, kCardKinds, "card kind");
    if (!settings.card) return false;
  }
  if (std::optional<std::string_view> atr = words.Take("atr")) {
    settings.atr = words.Hex(*atr, kMaxAtrBytes, "atr=");
    if (!settings.atr) return false;
    if (settings.atr->empty()) return words.Fail("atr= needs at least one byte");
    if (settings.card == CardKind::None) return words.Fail("atr= describes a card, and card=none has none");
    if (settings.card == CardKind::Vicc) return words.Fail("atr= describes a card, and with card=vicc the ATR is vicc's");
  }
  if (std::optional<std::string_view> port = words.Take("port")) {
    if (settings.card != CardKind::Vicc) return words.Fail("port= is where the reader listens for vicc: it needs card=vicc");
    std::optional<std::uint64_t> value = words.Number(*port, 65535, "port=");
    if (!value) return false;
    if (*value == 0) return words.Fail("port= needs a port from 1 to 65535");
    settings.port = static_cast<std::uint16_t>(*value);
  }
  return words.Finish(0);
}

bool ParseCard(Words& words, ScriptCommand& command) {
  const std::string_view action = words.At(0);
  if (action == "fault") {
    command.verb = Verb::Fault;
    return ParseFault(true, words, command.fault);
  }
  if (std::optional<std::string_view> after = words.Take("after")) {
    command.after = words.Milliseconds(*after, "after=");
    if (!command.after) return false;
  }
  if (action == "remove") {
    command.verb = Verb::CardRemove;
    return words.Finish(1);
  }
  if (action != "insert") {
    return words.Fail(action.empty() ? "insert, remove or fault is missing"
                                     : Quoted(action) + " is not insert, remove or fault");
  }
  command.verb = Verb::CardInsert;
  if (words.Count() > 1) {
    constexpr Choice<CardKind> kInsertable[] = {{"t0", CardKind::T0}, {"t1", CardKind::T1}, {"t0t1", CardKind::Dual}};
    std::optional<CardKind> kind = Choose(words, words.At(1), kInsertable, "card kind");
    if (!kind) return false;
    command.card = *kind;
  }
  if (std::optional<std::string_view> atr = words.Take("atr")) {
    command.atr = words.Hex(*atr, kMaxAtrBytes, "atr=");
    if (!command.atr) return false;
    if (command.atr->empty()) return words.Fail("atr= needs at least one byte");
  }
  return words.Finish(2);
}

// timeout=MS: how long the request is waited for before it is cancelled.
bool ParseTimeout(Words& words, std::uint32_t* milliseconds) {
  *milliseconds = kDefaultTrackTimeout;
  if (std::optional<std::string_view> timeout = words.Take("timeout")) {
    std::optional<std::uint32_t> ms = words.Milliseconds(*timeout, "timeout=");
    if (!ms) return false;
    *milliseconds = *ms;
  }
  return true;
}

// A control request whose buffers the command fixes; out=N may change the room.
bool ParseFixedRequest(Words& words, ScriptCommand& command, ControlRequest request, std::size_t positional) {
  command.verb = Verb::Control;
  command.request = std::move(request);
  command.milliseconds = kDefaultTrackTimeout;
  return ParseOutput(words, &command.request.outputLength) && words.Finish(positional);
}

bool ParseVendor(Words& words, ScriptCommand& command) {
  std::optional<VendorAction> action = Choose(words, words.At(0), kVendorActions, "vendor code");
  if (!action) return false;
  Bytes input;
  std::size_t positional = 1;
  if (*action == VendorAction::CommandB0 || *action == VendorAction::CommandD8) {
    if (words.Count() < 2) return words.Fail("the parameter byte is missing (two hex digits)");
    std::optional<Bytes> parameter = words.Hex(words.At(1), 1, "parameter byte");
    if (!parameter) return false;
    input = std::move(*parameter);
    positional = 2;
  } else if (*action == VendorAction::Pass) {
    if (words.Count() < 2) return words.Fail("the frame is missing (hex)");
    std::optional<Bytes> frame = words.Hex(words.At(1), kLibraryBufferSize, "frame");
    if (!frame) return false;
    input = std::move(*frame);
    positional = 2;
  }
  return ParseFixedRequest(words, command, VendorRequest(*action, input), positional);
}

bool ParseIoctl(Words& words, ScriptCommand& command) {
  const std::string_view code = words.At(0);
  if (code.empty()) return words.Fail("the control code is missing (a number or an IOCTL_ name)");
  ControlRequest request;
  if (std::optional<ULONG> named = ControlCodeByName(code)) {
    request.code = *named;
  } else if (code.size() > 0 && code[0] >= '0' && code[0] <= '9') {
    std::optional<std::uint64_t> value = words.Number(code, 0xFFFFFFFFu, "control code");
    if (!value) return false;
    request.code = static_cast<ULONG>(*value);
  } else {
    return words.Fail(Quoted(code) + " is neither a number nor the name of a control code");
  }
  if (words.Count() > 1) {
    std::optional<Bytes> input = words.Hex(words.At(1), kLibraryBufferSize, "input");
    if (!input) return false;
    request.input = std::move(*input);
  }
  request.outputLength = 256;
  // Any code may be one that waits, such as a tracking request.
  std::uint32_t timeout = 0;
  if (!ParseTimeout(words, &timeout) || !ParseFixedRequest(words, command, std::move(request), 2)) return false;
  command.milliseconds = timeout;
  return true;
}

bool ParseOpen(Words& words, ScriptCommand& command) {
  if (words.Count() > 0) {
    const std::string_view name = words.At(0);
    if (name.size() > 64) return words.Fail("the name is longer than 64 characters");
    command.name = std::string(name);
  }
  return words.Finish(1);
}

bool ParsePnp(Words& words, ScriptCommand& command) {
  const std::string_view minor = words.At(0);
  if (!minor.empty() && minor[0] >= '0' && minor[0] <= '9') {
    std::optional<std::uint64_t> value = words.Number(minor, 0xFF, "minor function");
    if (!value) return false;
    command.minor = static_cast<UCHAR>(*value);
  } else {
    std::optional<UCHAR> named = Choose(words, minor, kPnpMinors, "Plug and Play request");
    if (!named) return false;
    command.minor = *named;
  }
  return words.Finish(1);
}

bool ParseCommand(std::string_view verb, Words& words, ScriptCommand& command) {
  auto simple = [&](Verb v) {
    command.verb = v;
    return words.Finish(0);
  };
  if (verb == "reader") {
    command.verb = Verb::Reader;
    return ParseReader(words, command);
  }
  if (verb == "plug") return simple(Verb::Plug);
  if (verb == "card") return ParseCard(words, command);
  if (verb == "power") {
    std::optional<ULONG> operation = Choose(words, words.At(0), kPowerOperations, "power operation");
    return operation && ParseFixedRequest(words, command, PowerRequest(*operation), 1);
  }
  if (verb == "protocol") {
    std::optional<ULONG> mask = Choose(words, words.At(0), kProtocols, "protocol");
    return mask && ParseFixedRequest(words, command, ProtocolRequest(*mask), 1);
  }
  if (verb == "apdu") {
    command.verb = Verb::Apdu;
    if (words.Count() == 0) return words.Fail("the command bytes are missing (hex)");
    std::optional<Bytes> apdu = words.Hex(words.At(0), kLibraryBufferSize, "command");
    if (!apdu) return false;
    command.request.input = std::move(*apdu);
    ULONG out = kLibraryBufferSize;
    if (!ParseOutput(words, &out)) return false;
    command.outputLength = out;
    return words.Finish(1);
  }
  if (verb == "track") {
    command.verb = Verb::Track;
    std::optional<bool> present = Choose(words, words.At(0), kTrackTargets, "card state to wait for");
    if (!present) return false;
    command.request = TrackingRequest(*present);
    return ParseTimeout(words, &command.milliseconds) && words.Finish(1);
  }
  if (verb == "state") return ParseFixedRequest(words, command, StateRequest(), 0);
  if (verb == "attr") {
    const std::string_view name = words.At(0);
    if (name.empty()) return words.Fail("the attribute name is missing, such as VENDOR_NAME or ATR_STRING");
    std::optional<ULONG> tag = AttributeByName(name);
    if (!tag && name[0] >= '0' && name[0] <= '9') {
      std::optional<std::uint64_t> value = words.Number(name, 0xFFFFFFFFu, "attribute tag");
      if (!value) return false;
      tag = static_cast<ULONG>(*value);
    }
    if (!tag) return words.Fail(Quoted(name) + " is not the name of an attribute");
    return ParseFixedRequest(words, command, AttributeRequest(*tag), 1);
  }
  if (verb == "vendor") return ParseVendor(words, command);
  if (verb == "eject") return ParseFixedRequest(words, command, EjectRequest(), 0);
  if (verb == "ioctl") return ParseIoctl(words, command);
  if (verb == "open") {
    command.verb = Verb::Open;
    return ParseOpen(words, command);
  }
  if (verb == "close") return simple(Verb::Close);
  if (verb == "sleep") {
    command.verb = Verb::Sleep;
    if (words.Count() > 0) {
      std::optional<SYSTEM_POWER_STATE> state = Choose(words, words.At(0), kSleepStates, "sleep state");
      if (!state) return false;
      command.systemState = *state;
    }
    return words.Finish(1);
  }
  if (verb == "resume") return simple(Verb::Resume);
  if (verb == "stop") return simple(Verb::Stop);
  if (verb == "start") return simple(Verb::Start);
  if (verb == "surprise-remove") return simple(Verb::SurpriseRemove);
  if (verb == "remove") return simple(Verb::Remove);
  if (verb == "pnp") {
    command.verb = Verb::Pnp;
    return ParsePnp(words, command);
  }
  if (verb == "wait") {
    command.verb = Verb::Wait;
    if (words.Count() == 0) return words.Fail("the number of milliseconds is missing");
    std::optional<std::uint32_t> ms = words.Milliseconds(words.At(0), "milliseconds");
    if (!ms) return false;
    command.milliseconds = *ms;
    return words.Finish(1);
  }
  return words.Fail("unknown command (readerctl --help lists them)");
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

}  // namespace

bool IsFirmwareText(std::string_view text) {
  return text.size() == 4 && IsVersionCharacter(text[0]) && text[1] == '.' && IsVersionCharacter(text[2]) &&
         IsVersionCharacter(text[3]);
}

ParsedLine ParseScriptLine(std::string_view line) {
  ParsedLine parsed;
  if (line.size() > kMaxLineLength) {
    parsed.blank = false;
    parsed.error = "the line is longer than " + std::to_string(kMaxLineLength) + " characters";
    return parsed;
  }
  // Words are separated by blanks; a word that begins with '#' starts the comment.
  std::vector<std::string_view> words;
  std::size_t end = 0;
  for (std::size_t i = 0; i < line.size();) {
    if (IsBlank(line[i])) {
      ++i;
      continue;
    }
    if (line[i] == '#') break;
    std::size_t j = i;
    while (j < line.size() && !IsBlank(line[j])) {
      const auto c = static_cast<unsigned char>(line[j]);
      if (c < 0x20 || c > 0x7E) {
        parsed.blank = false;
        char code[8];
        std::snprintf(code, sizeof code, "0x%02X", c);
        parsed.error =
            std::string("character ") + code + " in column " + std::to_string(j + 1) + " is not printable ASCII";
        return parsed;
      }
      ++j;
    }
    words.push_back(line.substr(i, j - i));
    end = j;
    i = j;
  }
  if (words.empty()) return parsed;
  parsed.blank = false;
  const std::size_t begin = static_cast<std::size_t>(words.front().data() - line.data());
  parsed.command.text = std::string(line.substr(begin, end - begin));
  const std::string_view verb = words.front();
  Words arguments(verb, std::vector<std::string_view>(words.begin() + 1, words.end()));
  if (!ParseCommand(verb, arguments, parsed.command)) parsed.error = arguments.Error();
  return parsed;
}

}  // namespace host
