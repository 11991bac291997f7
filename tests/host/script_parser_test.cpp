// The script grammar, line by line: what each command becomes (the request
// with its buffers, the settings, the times), and the one-line reason for
// each line that is wrong.
#include <gtest/gtest.h>

#include <cstdio>

#include "host/script.h"

namespace {

using host::ParsedLine;
using host::ScriptCommand;
using host::Verb;

// What a parsed command means, in one line that a table can hold.
std::string Meaning(const ScriptCommand& c) {
  char code[16];
  std::snprintf(code, sizeof code, "%06X", static_cast<unsigned>(c.request.code));
  const std::string request =
      std::string(code) + " in " + host::ToHex(c.request.input) + " out " + std::to_string(c.request.outputLength);
  const std::string after = c.after ? " after " + std::to_string(*c.after) : "";
  switch (c.verb) {
    case Verb::Reader: {
      const host::ReaderSettings& r = c.reader;
      std::string text = "reader";
      if (r.firmware) text += " firmware " + *r.firmware;
      if (r.model) text += *r.model == host::Model::Kt2210 ? " model kt2210" : " model lm5520";
      if (r.card) text += " card " + std::to_string(static_cast<int>(*r.card));
      if (r.atr) text += " atr " + host::ToHex(*r.atr);
      if (r.port) text += " port " + std::to_string(*r.port);
      if (r.usb) text += " usb " + usb::FormatDevice(*r.usb);
      return text;
    }
    case Verb::Plug:
      return "plug";
    case Verb::CardInsert:
      return "insert " + std::to_string(static_cast<int>(c.card)) + (c.atr ? " atr " + host::ToHex(*c.atr) : "") +
             after;
    case Verb::CardRemove:
      return "remove card" + after;
    case Verb::Control:
      return "control " + request;
    case Verb::Apdu:
      return "apdu " + host::ToHex(c.request.input) + " out " + std::to_string(c.outputLength.value_or(0));
    case Verb::Track:
      return "track " + request + " timeout " + std::to_string(c.milliseconds);
    case Verb::Open:
      return "open '" + c.name + "'";
    case Verb::Close:
      return "close";
    case Verb::Sleep:
      return "sleep " + std::to_string(static_cast<int>(c.systemState));
    case Verb::Resume:
      return "resume";
    case Verb::Stop:
      return "stop";
    case Verb::Start:
      return "start";
    case Verb::SurpriseRemove:
      return "surprise-remove";
    case Verb::Remove:
      return "remove";
    case Verb::Pnp:
      return "pnp " + std::to_string(c.minor);
    case Verb::Wait:
      return "wait " + std::to_string(c.milliseconds);
  }
  return "?";
}

TEST(ScriptParser, TurnsEachCommandIntoWhatTheHostDoes) {
  const struct {
    const char* line;
    const char* meaning;
  } cases[] = {
      // Card kinds: 0 none, 1 T=0, 2 T=1, 3 both, 4 vicc.
      {"reader", "reader"},
      {"reader firmware=2.27 model=kt2210 card=t1", "reader firmware 2.27 model kt2210 card 2"},
      {"reader firmware=1.5a model=lm5520 card=t0 atr=3B00", "reader firmware 1.5a model lm5520 card 1 atr 3B00"},
      {"reader card=none", "reader card 0"},
      {"reader card=vicc", "reader card 4"},
      {"reader card=vicc port=40000", "reader card 4 port 40000"},
      {"reader usb", "reader usb 5A54:2210"},
      {"reader usb=072f:90cc@3.17", "reader usb 072F:90CC@3.17"},
      {"plug", "plug"},
      {"card insert", "insert 2"},
      {"card insert t0t1 atr=3B8001 after=300", "insert 3 atr 3B8001 after 300"},
      {"card remove after=0x10", "remove card after 16"},
      // The control codes with their buffers: code, input, room for the answer.
      {"power cold", "control 310004 in 01000000 out 64"},
      {"power warm", "control 310004 in 02000000 out 64"},
      {"power down out=0", "control 310004 in 00000000 out 0"},
      {"protocol t0", "control 310030 in 01000000 out 4"},
      {"protocol t0t1", "control 310030 in 03000000 out 4"},
      {"protocol raw", "control 310030 in 00000100 out 4"},
      {"state", "control 310038 in  out 4"},
      {"eject", "control 310018 in  out 0"},
      {"attr VENDOR_NAME", "control 310008 in 00010100 out 256"},
      {"attr 0x7fff0001 out=8", "control 310008 in 0100FF7F out 8"},
      {"vendor device-descriptor", "control 312004 in  out 18"},
      {"vendor config-descriptor", "control 312008 in  out 9"},
      {"vendor reset-port", "control 31200C in  out 0"},
      {"vendor pass 12000201C0D1", "control 312010 in 12000201C0D1 out 66560"},
      {"vendor version", "control 312014 in  out 8"},
      {"vendor eject", "control 312018 in  out 2"},
      {"vendor b0 05", "control 31201C in 05 out 2"},
      {"vendor d8 ff out=3", "control 312020 in FF out 3"},
      {"ioctl 0x310040", "control 310040 in  out 256"},
      {"ioctl IOCTL_SMARTCARD_SET_ATTRIBUTE 01010100AA out=0", "control 31000C in 01010100AA out 0"},
      {"ioctl 3211264 00", "control 310000 in 00 out 256"},
      {"apdu 00A4000C023F00", "apdu 00A4000C023F00 out 66560"},
      {"apdu 0084000008 out=18", "apdu 0084000008 out 18"},
      {"track present", "track 310028 in  out 0 timeout 60000"},
      {"track absent timeout=250", "track 31002C in  out 0 timeout 250"},
      {"open", "open ''"},
      {"open PIPE01", "open 'PIPE01'"},
      {"close", "close"},
      // System states: S1 is 2, S3 4, S5 6.
      {"sleep", "sleep 4"},
      {"sleep s1", "sleep 2"},
      {"sleep s5", "sleep 6"},
      {"resume", "resume"},
      {"stop", "stop"},
      {"start", "start"},
      {"surprise-remove", "surprise-remove"},
      {"remove", "remove"},
      {"pnp query-remove", "pnp 1"},
      {"pnp surprise-removal", "pnp 23"},
      {"pnp 0x14", "pnp 20"},
      {"wait 500", "wait 500"},
  };
  for (const auto& c : cases) {
    const ParsedLine parsed = host::ParseScriptLine(c.line);
    ASSERT_EQ(parsed.error, "") << c.line;
    ASSERT_FALSE(parsed.blank) << c.line;
    EXPECT_EQ(Meaning(parsed.command), c.meaning) << c.line;
    EXPECT_EQ(parsed.command.text, c.line);
  }
}

TEST(ScriptParser, KeepsTheCommandAsWrittenWithoutCommentOrBlanks) {
  const ParsedLine parsed = host::ParseScriptLine("  \tvendor   version   # the block of 8 bytes\r");
  ASSERT_EQ(parsed.error, "");
  EXPECT_EQ(parsed.command.text, "vendor   version");
  for (const char* blank : {"", "   ", "# a comment", "   # indented comment", "\t\r"}) {
    const ParsedLine line = host::ParseScriptLine(blank);
    EXPECT_TRUE(line.blank) << blank;
    EXPECT_EQ(line.error, "") << blank;
  }
  // A '#' inside a word belongs to the word.
  EXPECT_EQ(host::ParseScriptLine("open a#1").command.name, "a#1");
}

TEST(ScriptParser, ExplainsEveryWrongLineInOneLine) {
  const struct {
    const char* line;
    const char* error;
  } cases[] = {
      {"frobnicate", "frobnicate: unknown command (readerctl --help lists them)"},
      {"Plug", "Plug: unknown command (readerctl --help lists them)"},
      {"plug now", "plug: unexpected 'now'"},
      {"reader firmware=2.7", "reader: firmware='2.7' is not a version text such as 2.27"},
      {"reader firmware=2.27.1", "reader: firmware='2.27.1' is not a version text such as 2.27"},
      {"reader model=kt9999", "reader: 'kt9999' is not a model (kt2210|lm5520)"},
      {"reader card=t2", "reader: 't2' is not a card kind (none|t0|t1|t0t1|vicc)"},
      {"reader card=none atr=3B00", "reader: atr= describes a card, and card=none has none"},
      {"reader card=vicc atr=3B00", "reader: atr= describes a card, and with card=vicc the ATR is vicc's"},
      {"reader card=t1 port=35963", "reader: port= is where the reader listens for vicc: it needs card=vicc"},
      {"reader card=vicc port=0", "reader: port= needs a port from 1 to 65535"},
      {"reader card=vicc port=65536", "reader: port=: '65536' is too large (at most 65535)"},
      {"reader atr=", "reader: atr= needs at least one byte"},
      {"reader atr=3B0", "reader: atr=: '3B0' is not hexadecimal: it has an odd number of digits"},
      {"reader atr=3B000000000000000000000000000000000000000000000000000000000000000000",
       "reader: atr=: 34 bytes of hexadecimal, at most 33 are accepted here"},
      {"reader speed=9600", "reader: unknown option 'speed='"},
      {"reader firmware=2.27 firmware=2.28", "reader: option firmware= is given twice"},
      {"reader usb=5A54", "reader: usb=: expected VVVV:PPPP[@BUS.DEV] (hexadecimal vendor and product ids), not '5A54'"},
      {"reader usb=5A54:2210@1.0", "reader: usb=: expected @BUS.DEV (decimal, 1 to 255 each) after the ids, not '@1.0'"},
      {"reader usb card=t1", "reader: card= describes the emulated reader, not a physical one"},
      {"card", "card: insert or remove is missing"},
      {"card swap", "card: 'swap' is not insert or remove"},
      {"card insert t2", "card: 't2' is not a card kind (t0|t1|t0t1)"},
      {"card insert after=soon", "card: after=: 'soon' is not a number"},
      {"card insert after=3600001", "card: after=: '3600001' is too large (at most 3600000)"},
      {"card remove t1", "card: unexpected 't1'"},
      {"power", "power: power operation is missing (cold|warm|down)"},
      {"power hot", "power: 'hot' is not a power operation (cold|warm|down)"},
      {"power cold out=2000000", "power: out=: '2000000' is too large (at most 1048576)"},
      {"protocol t2", "protocol: 't2' is not a protocol (t0|t1|t0t1|raw)"},
      {"apdu", "apdu: the command bytes are missing (hex)"},
      {"apdu 00A4XX", "apdu: command: '00A4XX' is not hexadecimal: character 5 is not a digit 0-9 or A-F"},
      {"apdu 00A4 00", "apdu: unexpected '00'"},
      {"track", "track: card state to wait for is missing (present|absent)"},
      {"track present timeout=-1", "track: timeout=: '-1' is not a number"},
      {"state now", "state: unexpected 'now'"},
      {"attr", "attr: the attribute name is missing, such as VENDOR_NAME or ATR_STRING"},
      {"attr COLOUR", "attr: 'COLOUR' is not the name of an attribute"},
      {"vendor",
       "vendor: vendor code is missing (device-descriptor|config-descriptor|reset-port|version|eject|b0|d8|pass)"},
      {"vendor b0", "vendor: the parameter byte is missing (two hex digits)"},
      {"vendor b0 0500", "vendor: parameter byte: 2 bytes of hexadecimal, at most 1 are accepted here"},
      {"vendor d8 5", "vendor: parameter byte: '5' is not hexadecimal: it has an odd number of digits"},
      {"vendor pass", "vendor: the frame is missing (hex)"},
      {"vendor version 00", "vendor: unexpected '00'"},
      {"ioctl", "ioctl: the control code is missing (a number or an IOCTL_ name)"},
      {"ioctl 0x1FFFFFFFF", "ioctl: control code: '0x1FFFFFFFF' is too large (at most 4294967295)"},
      {"ioctl IOCTL_NOTHING", "ioctl: 'IOCTL_NOTHING' is neither a number nor the name of a control code"},
      {"ioctl 0x310004 01000000 00", "ioctl: unexpected '00'"},
      {"open a b", "open: unexpected 'b'"},
      {"open 0123456789012345678901234567890123456789012345678901234567890123456789",
       "open: the name is longer than 64 characters"},
      {"sleep s6", "sleep: 's6' is not a sleep state (s1|s2|s3|s4|s5)"},
      {"pnp",
       "pnp: Plug and Play request is missing (start|query-remove|remove|cancel-remove|stop|query-stop|"
       "cancel-stop|surprise-removal)"},
      {"pnp 256", "pnp: minor function: '256' is too large (at most 255)"},
      {"wait", "wait: the number of milliseconds is missing"},
      {"wait 1.5", "wait: milliseconds: '1.5' is not a number"},
      {"wait 10 ms", "wait: unexpected 'ms'"},
      {"plug\x01", "character 0x01 in column 5 is not printable ASCII"},
      {"apdu 00\xC3\xA4", "character 0xC3 in column 8 is not printable ASCII"},
  };
  for (const auto& c : cases) {
    const ParsedLine parsed = host::ParseScriptLine(c.line);
    EXPECT_FALSE(parsed.blank) << c.line;
    EXPECT_EQ(parsed.error, c.error) << c.line;
  }
  const std::string longLine(host::kMaxLineLength + 1, 'a');
  EXPECT_EQ(host::ParseScriptLine(longLine).error, "the line is longer than 262144 characters");
}

TEST(ScriptParser, TellsFirmwareTexts) {
  for (const char* good : {"2.27", "1.50", "2.1a", "Z.ZZ"}) EXPECT_TRUE(host::IsFirmwareText(good)) << good;
  for (const char* bad : {"", "2.2", "227", "2.277", "2,27", "2.2-", ".227"}) {
    EXPECT_FALSE(host::IsFirmwareText(bad)) << bad;
  }
}

}  // namespace
