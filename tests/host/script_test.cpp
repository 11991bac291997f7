// The script language: what each line becomes, the one-line error that stops
// a script at its first wrong line, and the names the host prints; then what
// --trace shows of a session: the requests the Plug and Play, power and
// resource managers send, in their order, each reader frame decoded with its
// bytes, and the driver's event-log entries.
#include <gtest/gtest.h>

#include <sstream>

#include "host/deliverable.h"
#include "host/request_names.h"
#include "host/script.h"
#include "host/script_session.h"

namespace {

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

// What no scenario can run: a physical reader's ids and the other
// deliverable's model; and a comment after a command is no part of it.
TEST(ScriptParser, ReadsWhatNoScenarioCanRun) {
  EXPECT_EQ(usb::FormatDevice(*host::ParseScriptLine("reader usb=072f:90cc@3.17").command.reader.usb), "072F:90CC@3.17");
  EXPECT_EQ(usb::FormatDevice(*host::ParseScriptLine("reader usb").command.reader.usb), "5A54:2210");
  EXPECT_EQ(host::ParseScriptLine("reader model=lm5520").command.reader.model, host::Model::Lm5520);
  EXPECT_EQ(host::ParseScriptLine("reader model=kt2210").command.reader.model, host::Model::Kt2210);
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
      {"card fault r-block 4", "", "line 1: card: the error code: '4' is too large (at most 3)"},
      {"card fault s-request abort inf=3", "", "line 1: card: a RESYNCH or ABORT request carries no inf="},
      {"reader fault split 3--4", "", "line 1: reader: size is missing"},
      {"reader fault truncate at=0", "", "line 1: reader: the number of bytes kept is missing"},
      {"reader fault usb-stall up", "", "line 1: reader: 'up' is not a direction (out|in)"},
      {"reader fault no-reply count=0", "", "line 1: reader: count= must be at least 1"},
      {"card fault silence", "", "line 1: card: no reader is plugged (plug one first)"},
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
      {"reader card=none\nplug\ncard fault silence", "reader card=none -> OK\n" + plugged,
       "line 3: card: no card in the reader"},
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
plug             # still there at the end: removed
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
