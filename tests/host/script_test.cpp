// The script language: what each line becomes, the one-line error that stops
// a script at its first wrong line, and the names the host prints; then what
// --trace shows of a session: the requests the Plug and Play, power and
// resource managers send, in their order, each reader frame decoded with its
// bytes, and the driver's event-log entries.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "host/deliverable.h"
#include "host/request_names.h"
#include "host/script.h"
#include "host/script_session.h"

namespace {

using host::ScriptCommand;
using host::Verb;

struct ScriptRun {
  std::string out;    // the result lines
  std::string trace;  // the trace lines, when asked for
  host::ScriptOutcome outcome;
};

// A script run by readerctl's session in simulated time.
ScriptRun RunScriptText(const std::string& script, bool trace = false) {
  std::istringstream in(script);
  std::ostringstream out, traceOut;
  const host::ScriptOutcome outcome =
      host::RunScript(in, host::SessionOptions{kernel::ClockMode::Simulated, trace}, out, traceOut);
  return {out.str(), traceOut.str(), outcome};
}

// A parsed command in one line: the request it sends (code, input, room for
// the answer) or the settings it carries.
std::string Meaning(const ScriptCommand& c) {
  char code[16];
  std::snprintf(code, sizeof code, "%06X ", static_cast<unsigned>(c.request.code));
  const std::string after = c.after ? " after " + std::to_string(*c.after) : "";
  const host::ReaderSettings& r = c.reader;
  switch (c.verb) {
    case Verb::Reader:
      return "reader" + (r.firmware ? " " + *r.firmware : "") + (r.model ? " model " + std::to_string(int(*r.model)) : "") +
             (r.card ? " card " + std::to_string(int(*r.card)) : "") + (r.atr ? " atr " + host::ToHex(*r.atr) : "") +
             (r.port ? " port " + std::to_string(*r.port) : "") + (r.usb ? " usb " + usb::FormatDevice(*r.usb) : "");
    case Verb::CardInsert:
      return "insert " + std::to_string(int(c.card)) + (c.atr ? " atr " + host::ToHex(*c.atr) : "") + after;
    case Verb::CardRemove:
      return "remove card" + after;
    case Verb::Apdu:
      return "apdu " + host::ToHex(c.request.input) + " out " + std::to_string(c.outputLength.value_or(0));
    case Verb::Control:
    case Verb::Track:
      return code + host::ToHex(c.request.input) + " out " + std::to_string(c.request.outputLength) +
             (c.verb == Verb::Track ? " timeout " + std::to_string(c.milliseconds) : "");
    case Verb::Open:
      return "open '" + c.name + "'";
    case Verb::Sleep:
      return "sleep " + std::to_string(int(c.systemState));
    case Verb::Pnp:
      return "pnp " + std::to_string(c.minor);
    default:
      return "";
  }
}

TEST(ScriptParser, TurnsEachCommandIntoWhatTheHostDoes) {
  const struct {
    const char* line;
    const char* meaning;
  } cases[] = {
      // Models: 0 kt2210, 1 lm5520. Card kinds: 0 none, 1 T=0, 2 T=1, 3 both, 4 vicc.
      {"reader firmware=1.5a model=lm5520 card=t0 atr=3B00", "reader 1.5a model 1 card 1 atr 3B00"},
      {"reader card=vicc port=40000", "reader card 4 port 40000"},
      {"reader usb", "reader usb 5A54:2210"},
      {"reader usb=072f:90cc@3.17", "reader usb 072F:90CC@3.17"},
      {"card insert t0t1 atr=3B8001 after=300", "insert 3 atr 3B8001 after 300"},
      // The control requests: code, input buffer, room for the answer.
      {"power cold", "310004 01000000 out 64"},
      {"power warm", "310004 02000000 out 64"},
      {"protocol raw", "310030 00000100 out 4"},
      {"state", "310038  out 4"},
      {"eject", "310018  out 0"},
      {"attr VENDOR_NAME", "310008 00010100 out 256"},
      {"attr 0x7fff0001 out=8", "310008 0100FF7F out 8"},
      {"vendor reset-port", "31200C  out 0"},
      {"vendor pass 12000201C0D1", "312010 12000201C0D1 out 66560"},
      {"vendor version", "312014  out 8"},
      {"vendor b0 05", "31201C 05 out 2"},
      {"vendor d8 ff out=3", "312020 FF out 3"},
      {"ioctl IOCTL_SMARTCARD_SET_ATTRIBUTE 01010100AA out=0", "31000C 01010100AA out 0"},
      {"apdu 00A4000C023F00", "apdu 00A4000C023F00 out 66560"},
      {"track present", "310028  out 0 timeout 60000"},
      {"track absent timeout=250", "31002C  out 0 timeout 250"},
      {"  \topen   a#1   # a '#' inside a word belongs to it\r", "open 'a#1'"},
      // System states: S1 is 2, S3 4, S5 6.
      {"pnp surprise-removal", "pnp 23"},
      {"pnp 0x14", "pnp 20"},
  };
  for (const auto& c : cases) {
    const host::ParsedLine parsed = host::ParseScriptLine(c.line);
    ASSERT_EQ(parsed.error, "") << c.line;
    ASSERT_FALSE(parsed.blank) << c.line;
    EXPECT_EQ(Meaning(parsed.command), c.meaning) << c.line;
  }
  EXPECT_EQ(host::ParseScriptLine("  vendor   version   # the block\r").command.text, "vendor   version");
  for (const char* blank : {"", "   # indented comment", "\t\r"}) EXPECT_TRUE(host::ParseScriptLine(blank).blank);
}

// A wrong line stops the script with one line naming it; the lines before
// it have run and printed their results.
TEST(ScriptErrors, StopTheScriptAtTheLineThatIsWrong) {
  const bool lm = host::BuiltModel() == host::Model::Lm5520;
  const std::string otherModel = std::string("line 1: reader: model=") + (lm ? "kt2210" : "lm5520") +
                                 " is not in this build, which carries the " + (lm ? "Lm5520p" : "Kt2210p") +
                                 " driver; use the readerctl of a build configured with -DDELIVERABLE=" +
                                 (lm ? "Kt2210p" : "Lm5520p -DCMAKE_TOOLCHAIN_FILE=scripts/cmake/toolchain-i686.cmake");
  const std::string plugged = "plug -> STATUS_SUCCESS 0x00000000\n";
  const std::string opened = plugged + "open -> STATUS_SUCCESS 0x00000000\n";
  const struct {
    std::string script;
    std::string out;  // what ran before the error
    std::string error;
  } cases[] = {
      {"reader\nplug\nfrobnicate the reader\nremove", "reader -> OK\n" + plugged,
       "line 3: frobnicate: unknown command (readerctl --help lists them)"},
      {"plug now", "", "line 1: plug: unexpected 'now'"},
      {"reader firmware=2.7", "", "line 1: reader: firmware='2.7' is not a version text such as 2.27"},
      {"reader model=kt9999", "", "line 1: reader: 'kt9999' is not a model (kt2210|lm5520)"},
      {lm ? "reader model=kt2210" : "reader model=lm5520", "", otherModel},
      {"reader card=t2", "", "line 1: reader: 't2' is not a card kind (none|t0|t1|t0t1|vicc)"},
      {"reader card=none atr=3B00", "", "line 1: reader: atr= describes a card, and card=none has none"},
      {"reader atr=3B0", "", "line 1: reader: atr=: '3B0' is not hexadecimal: it has an odd number of digits"},
      {"reader atr=" + std::string(68, '0'), "", "line 1: reader: atr=: 34 bytes of hexadecimal, at most 33 are accepted here"},
      {"reader speed=9600", "", "line 1: reader: unknown option 'speed='"},
      {"reader firmware=2.27 firmware=2.28", "", "line 1: reader: option firmware= is given twice"},
      {"reader usb=5A54", "", "line 1: reader: usb=: expected VVVV:PPPP[@BUS.DEV] (hexadecimal vendor and product ids), not '5A54'"},
      {"reader usb", "", "line 1: reader: a physical reader runs in real time only (--time real)"},
      {"card insert after=+1", "", "line 1: card: after=: '+1' is not a number"},
      {"card insert after=3600001", "", "line 1: card: after=: '3600001' is too large (at most 3600000)"},
      {"card insert t1 after=10", "", "line 1: card: after= needs a plugged reader"},
      {"protocol t2", "", "line 1: protocol: 't2' is not a protocol (t0|t1|t0t1|raw)"},
      {"apdu 0x3B", "", "line 1: apdu: command: '0x3B' is not hexadecimal: character 2 is not a digit 0-9 or A-F"},
      {"apdu 0123456789ABCDEF0123456789ABCDEFZ", "",
       "line 1: apdu: command: '0123456789ABCDEF01234567...' is not hexadecimal: character 33 is not a digit 0-9 or A-F"},
      {"attr COLOUR", "", "line 1: attr: 'COLOUR' is not the name of an attribute"},
      {"vendor b0 0500", "", "line 1: vendor: parameter byte: 2 bytes of hexadecimal, at most 1 are accepted here"},
      {"ioctl 99999999999999999999999", "",
       "line 1: ioctl: control code: '99999999999999999999999' is too large (at most 4294967295)"},
      {"ioctl IOCTL_NOTHING", "", "line 1: ioctl: 'IOCTL_NOTHING' is neither a number nor the name of a control code"},
      {"open " + std::string(65, 'a'), "", "line 1: open: the name is longer than 64 characters"},
      {"plug\x01", "", "line 1: character 0x01 in column 5 is not printable ASCII"},
      {"apdu 00\xC3\xA4", "", "line 1: character 0xC3 in column 8 is not printable ASCII"},
      {std::string(host::kMaxLineLength + 1, 'a'), "", "line 1: the line is longer than 262144 characters"},
      // Lines that are right but come at the wrong moment.
      {"reader card=t1\napdu 00A4000C023F00\nplug", "reader card=t1 -> OK\n",
       "line 2: apdu: no reader is plugged (plug one first)"},
      {"open", "", "line 1: open: no reader device to open (plug one first)"},
      {"plug\nstate", plugged, "line 2: state: no handle is open (open one first)"},
      {"plug\nreader card=t0", plugged, "line 2: reader: reader settings come before the first plug"},
      {"plug\n\n# nothing\nplug", plugged, "line 4: plug: a reader is plugged already"},
      {"plug\nremove\nremove", plugged + "remove -> STATUS_SUCCESS 0x00000000\n",
       "line 3: remove: the reader's device is gone (plug a reader again)"},
      {"plug\nopen\nsurprise-remove\nsurprise-remove", opened + "surprise-remove -> STATUS_SUCCESS 0x00000000\n",
       "line 4: surprise-remove: the reader has left the bus already"},
  };
  for (const auto& c : cases) {
    const ScriptRun run = RunScriptText(c.script + "\n");
    EXPECT_FALSE(run.outcome.ok) << c.script;
    EXPECT_EQ(run.outcome.error, c.error) << c.script;
    EXPECT_EQ(run.out, c.out) << c.script;
  }
}

// The platform's spellings: one name of each table, and what has none.
TEST(Names, SpellStatusesRequestsAndAttributesAsThePlatformDoes) {
  EXPECT_EQ(host::ResultLine("ioctl 0x310044", NTSTATUS_VALUE(0xC0001234), {}),
            "ioctl 0x310044 -> UNNAMED_STATUS 0xC0001234");
  for (ULONG code : host::ServedControlCodes()) EXPECT_EQ(host::ControlCodeByName(host::ControlCodeName(code)), code);
  EXPECT_EQ(host::ControlCodeByName("ioctl_smartcard_get_state"), 0x310038u);
  EXPECT_EQ(host::AttributeByName("vendor-ifd-type"), 0x10101u);
  EXPECT_EQ(host::AttributeByName("VENDOR"), std::nullopt);
  EXPECT_EQ(host::PnpMinorName(0x42), "IRP_MN_0x42");
  EXPECT_STREQ(host::CardStateName(7), "unknown card state");
}

// The trace lines from the one that contains `from` to the one that contains
// `to` (all when empty), each without its time: "frame   1574.125 ms OUT ..." -> "frame OUT ...".
std::vector<std::string> TraceLines(const std::string& trace, const std::string& prefix, const std::string& from = "",
                                    const std::string& to = "") {
  std::vector<std::string> lines;
  std::istringstream in(trace);
  bool inside = from.empty();
  for (std::string line; std::getline(in, line);) {
    inside = inside || line.find(from) != std::string::npos;
    if (!inside || line.rfind(prefix, 0) != 0) continue;
    const std::size_t ms = line.find(" ms ");
    if (ms != std::string::npos) line = line.substr(0, line.find(' ')) + " " + line.substr(ms + 4);
    lines.push_back(line);
    if (!to.empty() && line.find(to) != std::string::npos) break;
  }
  return lines;
}

TEST(Lifecycle, ThePlugAndPlayAndPowerManagersSendWhatWindowsSends) {
  const ScriptRun run = RunScriptText(R"(reader card=t1
plug
open
stop
start
sleep
card remove      # while the system sleeps
resume
state            # the first poll after D0 read the card afresh
remove           # a handle open: closed first
plug
open
surprise-remove
state            # the handle outlives the device's presence on the bus
close            # the last close lets the removal follow
plug
pnp query-remove
pnp cancel-remove
open             # the interface stays disabled after a cancelled removal
)",
                                                          true);
  ASSERT_TRUE(run.outcome.ok) << run.outcome.error;
  EXPECT_EQ(TraceLines(run.trace, "request "),
            (std::vector<std::string>{
                "request IRP_MN_START_DEVICE -> STATUS_SUCCESS",
                "request IRP_MJ_CREATE -> STATUS_SUCCESS",
                "request IRP_MN_QUERY_STOP_DEVICE -> STATUS_SUCCESS",
                "request IRP_MN_STOP_DEVICE -> STATUS_SUCCESS",
                "request IRP_MN_START_DEVICE -> STATUS_SUCCESS",
                "request IRP_MN_QUERY_POWER S3 -> STATUS_SUCCESS",
                "request IRP_MN_SET_POWER S3 -> STATUS_SUCCESS",
                "request IRP_MN_SET_POWER S0 -> STATUS_SUCCESS",
                "request IOCTL_SMARTCARD_GET_STATE -> STATUS_SUCCESS, information 4",
                "request IRP_MJ_CLEANUP, IRP_MJ_CLOSE -> STATUS_SUCCESS",
                "request IRP_MN_QUERY_REMOVE_DEVICE -> STATUS_SUCCESS",
                "request IRP_MN_REMOVE_DEVICE -> STATUS_SUCCESS",
                "request IRP_MN_START_DEVICE -> STATUS_SUCCESS",
                "request IRP_MJ_CREATE -> STATUS_SUCCESS",
                "request IRP_MN_SURPRISE_REMOVAL -> STATUS_SUCCESS",
                "request IOCTL_SMARTCARD_GET_STATE -> STATUS_DELETE_PENDING",
                "request IRP_MJ_CLEANUP, IRP_MJ_CLOSE -> STATUS_SUCCESS",
                "request IRP_MN_REMOVE_DEVICE -> STATUS_SUCCESS",
                "request IRP_MN_START_DEVICE -> STATUS_SUCCESS",
                "request IRP_MN_QUERY_REMOVE_DEVICE -> STATUS_SUCCESS",
                "request IRP_MN_CANCEL_REMOVE_DEVICE -> STATUS_SUCCESS",
                "request IRP_MJ_CREATE (no enabled reader interface) -> STATUS_OBJECT_NAME_NOT_FOUND",
                "request IRP_MN_QUERY_REMOVE_DEVICE -> STATUS_SUCCESS",  // at the end, the device still there
                "request IRP_MN_REMOVE_DEVICE -> STATUS_SUCCESS",
            }));
}

TEST(Trace, ShowsTheUsbRequestsTheEventLogAndAnOldGenerationCardFrame) {
  // A firmware below 1.02 is logged as such; the start goes on. Below 2.01
  // the reader runs T=1 itself: one card frame, then the transfer status is
  // asked until the card has answered, then the result.
  const ScriptRun run =
      RunScriptText("reader firmware=1.01 card=t1\nplug\nopen\npower cold\nprotocol t1\napdu 00A4000C023F00\n", true);
  ASSERT_TRUE(run.outcome.ok) << run.outcome.error;
  EXPECT_EQ(TraceLines(run.trace, "usb"), (std::vector<std::string>{
                                            "usb GET_DESCRIPTOR type 01, 18 of 18 bytes -> STATUS_SUCCESS",
                                            "usb GET_DESCRIPTOR type 02, 32 of 521 bytes -> STATUS_SUCCESS",
                                            "usb SELECT_CONFIGURATION -> STATUS_SUCCESS",
                                        }));
  EXPECT_EQ(TraceLines(run.trace, "log"),
            (std::vector<std::string>{"log     event 0x80100007 written against the device object"}));
  EXPECT_EQ(TraceLines(run.trace, "", "IOCTL_SMARTCARD_SET_PROTOCOL", "IOCTL_SMARTCARD_TRANSMIT"),
            (std::vector<std::string>{
                "request IOCTL_SMARTCARD_SET_PROTOCOL -> STATUS_SUCCESS, information 4",
                "frame OUT old-generation card frame for T=1, 7 command bytes: 51 00 00 07 00 A4 00 0C 02 3F 00",
                "frame IN  card frame taken, status bytes 90 00: 51 00 00 02 90 00",
                "frame OUT reader command 0xD2 transfer status, old generation: 10 00 00 02 01 D2",
                "frame IN  reply to 0xD2 transfer status, transfer state 0, status bytes 90 00, old generation: 10 00 "
                "00 05 01 D2 00 90 00",
                "frame OUT reader command 0xD2 transfer status, old generation: 10 00 00 02 01 D2",
                "frame IN  reply to 0xD2 transfer status, transfer state 2, status bytes 90 00, old generation: 10 00 "
                "00 05 01 D2 02 90 00",
                "frame OUT reader command 0xD3 transfer result, old generation: 10 00 00 02 01 D3",
                "frame IN  transfer result, the card's answer of 2 bytes, old generation: 10 00 00 02 90 00",
                "request IOCTL_SMARTCARD_TRANSMIT -> STATUS_SUCCESS, information 10",
            }));
}

}  // namespace
