// The command script of readerctl: one command a line, '#' comments. Parsing
// checks every argument where it enters and turns each command into what
// the host does for it; a wrong line gets a one-line reason.
//
//   reader [firmware=M.mm] [model=kt2210|lm5520] [card=t0|t1|t0t1|none|vicc] [atr=HEX] [port=N]
//   reader usb[=VVVV:PPPP[@BUS.DEV]]
//   plug | open [NAME] | close | stop | start | surprise-remove | remove
//   pnp start|query-stop|cancel-stop|stop|query-remove|cancel-remove|remove|surprise-removal|MINOR
//   sleep [s1|s2|s3|s4|s5] | resume | wait MS
//   card insert [t0|t1|t0t1] [atr=HEX] [after=MS] | card remove [after=MS]
//   card fault ... | reader fault ...   (fault_request.h)
//   power cold|warm|down | protocol t0|t1|t0t1|raw | apdu HEX | state | eject
//   track present|absent [timeout=MS] | attr NAME
//   vendor device-descriptor|config-descriptor|reset-port|version|eject|b0 XX|d8 XX|pass HEX
//   ioctl CODE [HEX] [timeout=MS]
// Every command that sends a control request also takes out=N, the room
// given to the answer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "host/control_requests.h"
#include "host/fault_request.h"
#include "host/hex.h"
#include "platform/kernel/wdm.h"
#include "platform/usb/host_bus.h"

namespace host {

// Vicc: no card of the emulator's own; vsmartcard's vicc connects to the
// reader on 127.0.0.1 and is the card while it stays connected.
enum class CardKind { None, T0, T1, Dual, Vicc };
enum class Model { Kt2210, Lm5520 };

struct ReaderSettings {
  std::optional<std::string> firmware;  // "2.27": a digit or letter, '.', two digits or letters
  std::optional<Model> model;
  std::optional<CardKind> card;
  std::optional<Bytes> atr;  // used as it is, in place of the card kind's own ATR
  std::optional<std::uint16_t> port;  // card=vicc: where the reader listens for vicc
  // A physical reader on the machine's USB bus in place of the emulated one
  // (bare `usb`: the emulated reader's own ids).
  std::optional<usb::DeviceMatch> usb;
};

// vsmartcard's default port, which vicc connects to unless told otherwise.
constexpr std::uint16_t kDefaultViccPort = 35963;

enum class Verb {
  Reader,
  Plug,
  CardInsert,
  CardRemove,
  Control,  // any control request with its buffers
  Apdu,     // a transmit: the header is the resource manager's, filled when it is sent
  Track,
  Open,
  Close,
  Sleep,
  Resume,
  Stop,
  Start,
  SurpriseRemove,
  Remove,
  Pnp,
  Wait,
  Fault,
};

struct ScriptCommand {
  Verb verb = Verb::Plug;
  std::string text;  // as written, without its comment and surrounding blanks

  ReaderSettings reader;                                  // Reader
  CardKind card = CardKind::T1;                           // CardInsert
  std::optional<Bytes> atr;                               // CardInsert
  std::optional<std::uint32_t> after;                     // CardInsert, CardRemove: milliseconds from now
  ControlRequest request;                                 // Control, Track; Apdu: the command in `input`
  std::optional<ULONG> outputLength;                      // Apdu: out=N
  std::uint32_t milliseconds = 0;                         // Wait; Track, Control: the time limit
  std::string name;                                       // Open: the file name after the interface's name
  SYSTEM_POWER_STATE systemState = PowerSystemSleeping3;  // Sleep
  UCHAR minor = 0;                                        // Pnp
  FaultRequest fault;                                     // Fault
};

struct ParsedLine {
  bool blank = true;  // nothing but blanks or a comment
  std::string error;  // not empty: the line is wrong, and why
  ScriptCommand command;
};

// Limits of what a line may ask for.
constexpr std::size_t kMaxLineLength = 256 * 1024;
constexpr std::size_t kMaxAtrBytes = 33;               // ISO/IEC 7816-3 clause 8.2.1
constexpr std::uint32_t kMaxMilliseconds = 3'600'000;  // an hour
constexpr ULONG kMaxOutputLength = 1024 * 1024;
constexpr std::uint32_t kDefaultTrackTimeout = 60'000;  // a request still waiting after a minute is cancelled

ParsedLine ParseScriptLine(std::string_view line);

// A firmware version text as the reader reports it: "2.27", a digit or
// letter, a point, two digits or letters (letters count from 10).
bool IsFirmwareText(std::string_view text);

// The result line of a command that sent a request:
// "<command> -> STATUS_NAME 0x<8 hex digits> <data as hex>" (no data, no blank).
std::string ResultLine(std::string_view command, NTSTATUS status, std::span<const std::uint8_t> data);
// The result line of a command that sent none: "<command> -> OK".
std::string OkLine(std::string_view command);

}  // namespace host
