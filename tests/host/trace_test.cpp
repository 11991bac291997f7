// What --trace shows: each reader frame decoded one level, with its bytes,
// the requests the host sent, and the event-log entries the driver wrote.
#include <gtest/gtest.h>

#include "tests/host/script_run.h"

namespace {

using hosttest::RunScriptText;
using hosttest::ScriptRun;

// The trace lines from the one that contains `from` to the one that contains
// `to`, each without its time ("frame   1574.125 ms OUT ..." -> "frame OUT ...").
std::vector<std::string> TraceBetween(const ScriptRun& run, const std::string& from, const std::string& to) {
  std::vector<std::string> lines;
  bool inside = false;
  for (std::string line : hosttest::LinesStartingWith(run.trace, "")) {
    if (line.find(from) != std::string::npos) inside = true;
    if (!inside) continue;
    const std::size_t ms = line.find(" ms ");
    if (ms != std::string::npos) line = line.substr(0, line.find(' ')) + " " + line.substr(ms + 4);
    lines.push_back(line);
    if (line.find(to) != std::string::npos) break;
  }
  return lines;
}

TEST(Trace, DecodesAChainedT1ExchangeBlockByBlock) {
  // An echo of 32 bytes: 38 command bytes for an IFSC of 32, and 34 bytes back.
  const ScriptRun run = RunScriptText(R"(reader card=t1
plug
open
power cold
protocol t1
apdu 8022000020000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F20
)",
                                      true);
  ASSERT_TRUE(run.outcome.ok) << run.outcome.error;
  EXPECT_EQ(TraceBetween(run, "IOCTL_SMARTCARD_SET_PROTOCOL", "IOCTL_SMARTCARD_TRANSMIT"),
            (std::vector<std::string>{
                "request IOCTL_SMARTCARD_SET_PROTOCOL -> STATUS_SUCCESS, information 4",
                "frame OUT T=1 I-block N(S)=0, more data, 32 bytes: 52 20 20 80 22 00 00 20 00 01 02 03 04 05 06 07 08 "
                "09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17 18 19 1A CB",
                "frame IN  T=1 R-block N(R)=1, error-free: 25 90 00 B5",
                "frame OUT T=1 I-block N(S)=1, 6 bytes: 52 40 06 1B 1C 1D 1E 1F 20 2F",
                "frame IN  T=1 I-block N(S)=0, more data, 32 bytes: 25 20 20 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D "
                "0E 0F 10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F 25",
                "frame OUT T=1 R-block N(R)=1, error-free: 52 90 00 C2",
                "frame IN  T=1 I-block N(S)=1, 2 bytes: 25 40 02 90 00 F7",
                "request IOCTL_SMARTCARD_TRANSMIT -> STATUS_SUCCESS, information 42",
            }));
}

TEST(Trace, ShowsTheOldGenerationsCardFrameAndItsTransferCommands) {
  const ScriptRun run = RunScriptText(R"(reader firmware=1.50 card=t1
plug
open
power cold
protocol t1
apdu 00A4000C023F00
)",
                                      true);
  ASSERT_TRUE(run.outcome.ok) << run.outcome.error;
  EXPECT_EQ(TraceBetween(run, "IOCTL_SMARTCARD_SET_PROTOCOL", "IOCTL_SMARTCARD_TRANSMIT"),
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

TEST(Trace, ShowsTheEventLogAndTheStartOfTheDevice) {
  // A firmware below 1.02 is logged as such; the start goes on.
  const ScriptRun run = RunScriptText("reader firmware=1.01\nplug\n", true);
  ASSERT_TRUE(run.outcome.ok) << run.outcome.error;
  EXPECT_EQ(run.out, "reader firmware=1.01 -> OK\nplug -> STATUS_SUCCESS 0x00000000\n");
  EXPECT_EQ(TraceBetween(run, "DriverEntry", "IN  reply to 0xC0"),
            (std::vector<std::string>{
                "call DriverEntry -> STATUS_SUCCESS",
                "call AddDevice -> STATUS_SUCCESS",
                "usb GET_DESCRIPTOR type 01, 18 of 18 bytes -> STATUS_SUCCESS",
                "usb GET_DESCRIPTOR type 02, 32 of 521 bytes -> STATUS_SUCCESS",
                "usb SELECT_CONFIGURATION -> STATUS_SUCCESS",
                "frame OUT reader command 0xC0 firmware version, control 00: 12 00 02 01 C0 D1",
                "frame IN  reply to 0xC0 firmware version, \"ZUNTA R1.01\", status bytes 90 00: 12 00 0F 01 C0 5A 55 "
                "4E 54 41 20 52 31 2E 30 31 90 00 74",
            }));
  EXPECT_EQ(hosttest::LinesStartingWith(run.trace, "log"),
            (std::vector<std::string>{"log     event 0x80100007 written against the device object"}));
}

}  // namespace
