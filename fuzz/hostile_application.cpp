// Fuzz target 4, a hostile application: control codes, buffer lengths and
// contents of its choosing through DispatchDeviceControl, on a started
// device with a card (the emulated reader and card answer), pass-through
// frames included. Some requests are left in flight and cancelled at the
// end; the card may come and go, the system may sleep.
//
// Input: a reader selector (bit 0: old generation; bit 1: the requests go
// to the device instead of a handle), then up to kRequests requests, each:
//   c     the code: c < 0xE0 picks one of the 21 served codes (c % 21);
//         0xE0..0xEF a code of the smart-card device type (function from
//         the next byte); 0xF0..0xF7 any 32-bit code (next 4 bytes);
//         0xF8 card out, 0xF9 card in, 0xFA sleep and resume
//   n     input length: 16 bits (modulo 4096), or 0xFFFF for a pass-through
//         card frame at the old generation's limit and past it
//   ...   the input bytes
//   o     output length: 0 none, 1 0x10400, 2 0x10401, else o x 3
//   w     bit 0: leave the request in flight instead of waiting for it
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "driver/public/vendor_ioctl.h"
#include "fuzz/driver_session.h"
#include "platform/smclib/winsmcrd.h"

namespace {

constexpr int kRequests = 12;
// The served codes' functions: the 13 standard ones, then the 8 vendor ones.
constexpr ULONG kServed[] = {1,  2,  3,    4,    5,    6,    7,    10,   11,   12,  14,
                             15, 16, 2049, 2050, 2051, 2052, 2053, 2054, 2055, 2056};

constexpr std::uint16_t kHugeInput = 0xFFFF;
constexpr std::size_t kMaxInput = 4096;
constexpr LONGLONG kWait = 3 * kernel::kSecond;

fuzzing::Bytes InputBytes(fuzzing::Tape& tape) {
  const std::uint16_t length = tape.Word();
  if (length != kHugeInput) return tape.Take(length % kMaxInput);
  // An old-generation card frame at the length limit, or one byte past it.
  fuzzing::Bytes frame(PassThroughCardFrameMax + (tape.Byte() & 1), 0x00);
  frame[0] = 0x50;
  return frame;
}

ULONG OutputLength(std::uint8_t o) {
  constexpr ULONG kSpecial[] = {0, 0x10400, 0x10401};
  return o < std::size(kSpecial) ? kSpecial[o] : ULONG{o} * 3;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 16384) return -1;
  fuzzing::Tape tape(std::span<const std::uint8_t>(data, size));
  const std::uint8_t selector = tape.Byte();
  const auto reader = fuzzing::ReaderWithCard(fuzzing::ChainingCard(), (selector & 1) != 0 ? "1.50" : "2.27");
  fuzzing::Session session(reader);
  if (!NT_SUCCESS(session.Start())) return 0;
  if ((selector & 2) == 0) session.Open();
  for (int i = 0; i < kRequests && !tape.Exhausted() && session.Usable(); ++i) {
    const std::uint8_t c = tape.Byte();
    ULONG code;
    if (c < 0xE0) {
      code = SCARD_CTL_CODE(kServed[c % std::size(kServed)]);
    } else if (c < 0xF0) {
      code = SCARD_CTL_CODE(tape.Byte());
    } else if (c < 0xF8) {
      code = tape.Long();
    } else {
      if (c == 0xF8) reader->RemoveCard();
      if (c == 0xF9 && !reader->CurrentCard()) reader->InsertCard(fuzzing::ChainingCard());
      if (c >= 0xFA) {
        session.Sleep();
        session.Resume();
      }
      continue;
    }
    const fuzzing::Bytes input = InputBytes(tape);
    const ULONG output = OutputLength(tape.Byte());
    if ((tape.Byte() & 1) != 0) {
      session.StartControl(code, input, output);
    } else {
      session.Control(code, input, output, kWait);
    }
  }
  return 0;
}
