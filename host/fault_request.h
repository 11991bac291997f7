// The faults a user asks of the emulated card and reader, one vocabulary for
// readerctl's scripts, the IFD handler's faults= key and its control FIFO:
//
//   card fault bad-lrc|wrong-sequence|silence|corrupt-received [at=N] [count=N]
//   card fault r-block CODE | s-request resynch|ifs|abort|wtx [inf=N] | garbage HEX   [at=N] [count=N]
//   reader fault bad-check-byte|error-reply|no-reply|withhold [at=N] [count=N]
//   reader fault split SIZES | delay MS | oversized [N] | truncate N     [at=N] [count=N]
//   reader fault usb-stall|usb-error [out|in] [at=N] [count=N]
//
// at=N: the Nth T=1 block the card receives (card), the Nth request frame
// the reader takes (reader), the Nth bulk transfer that way (usb), counted
// from when the fault is asked; without it, the next one. count=N: as many
// in a row. SIZES are numbers joined by '-' (split 3-4).
#pragma once

#include <cstdint>
#include <vector>

#include "host/hex.h"

namespace host {

enum class FaultKind {
  // The card's T=1 side.
  BadLrc,
  WrongSequence,
  RBlock,    // value: the error code
  SRequest,  // value: the type (0 RESYNCH, 1 IFS, 2 ABORT, 3 WTX), inf: its INF
  Silence,
  Garbage,  // raw: what the card sends instead
  CorruptReceived,
  // The reader's replies.
  Split,  // sizes
  Delay,  // value: milliseconds
  Withhold,
  BadCheckByte,
  ErrorReply,
  Oversized,  // value: the length announced
  Truncate,   // value: the bytes kept
  NoReply,
  // The USB bulk transfers.
  UsbStall,
  UsbError,
};

struct FaultRequest {
  FaultKind kind = FaultKind::BadLrc;
  std::uint32_t value = 0;
  std::uint8_t inf = 0;
  Bytes raw;
  std::vector<std::uint32_t> sizes;
  bool in = false;       // usb-stall, usb-error: the IN pipe rather than OUT
  std::uint32_t at = 0;  // 0: the next one
  std::uint32_t count = 1;
};

constexpr std::uint32_t kMaxFaultAt = 1'000'000;
constexpr std::uint32_t kMaxFaultCount = 1000;

}  // namespace host
