// Fuzz target 3: ATRs of any length and content. The ATR analysis sees the
// bytes directly, at every length; then a card with this ATR goes through
// the driver's real path: the start's reset and ATR read, a cold reset
// (GetAtr, AnalyzeAtr, SmartcardUpdateCardCapabilities), the ATR attribute,
// a protocol selection and a command.
//
// Input: a byte f (bit 0: old-generation reader; bits 1-2: the protocol
// mask asked for, 0 meaning T=0 or T=1), then the ATR.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "driver/reader/atr_analysis.h"
#include "fuzz/driver_session.h"
#include "platform/smclib/winsmcrd.h"

namespace {

void AnalyzeDirectly(std::span<const std::uint8_t> atr) {
  // A copy of exactly this size: ASan sees a read one past the bytes given.
  const std::vector<std::uint8_t> bytes(atr.begin(), atr.end());
  ATR_ANALYSIS analysis{};
  if (NT_SUCCESS(AnalyzeAtr(bytes.data(), static_cast<ULONG>(bytes.size()), &analysis))) {
    fuzzing::Require(analysis.Length <= bytes.size() && analysis.Length <= AtrMaximumLength,
                     "AnalyzeAtr reported more bytes than it was given");
    fuzzing::Require(BlockWaitTimeFromPacked(analysis.Packed) > 0, "a block waiting time of 0 or less");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kMaxAtr = 300;
  if (size < 1 || size > kMaxAtr + 1) return -1;
  const std::uint8_t flags = data[0];
  const std::span<const std::uint8_t> atr(data + 1, size - 1);
  AnalyzeDirectly(atr);

  emu::CardConfig card;
  card.atrOverride = emu::Bytes(atr.begin(), atr.end());
  fuzzing::Session session(
      fuzzing::ReaderWithCard(std::make_shared<emu::Card>(card), (flags & 1) != 0 ? "1.50" : "2.27"));
  if (!NT_SUCCESS(session.Start()) || !NT_SUCCESS(session.Open())) return 0;
  session.Control(IOCTL_SMARTCARD_POWER, fuzzing::Ulong(SCARD_COLD_RESET), 64);
  session.Control(IOCTL_SMARTCARD_GET_ATTRIBUTE, fuzzing::Ulong(SCARD_ATTR_ATR_STRING), 64);
  ULONG mask = (flags >> 1) & 3;
  if (mask == 0) mask = SCARD_PROTOCOL_Tx;
  const kernel::IoResult selected = session.Control(IOCTL_SMARTCARD_SET_PROTOCOL, fuzzing::Ulong(mask), 4);
  if (selected.status == STATUS_SUCCESS && selected.output.size() == 4) {
    const fuzzing::Bytes getChallenge = {0x00, 0x84, 0x00, 0x00, 0x08};
    session.Control(IOCTL_SMARTCARD_TRANSMIT, fuzzing::TransmitRequest(selected.output[0], getChallenge), 0x10400);
  }
  return 0;
}
