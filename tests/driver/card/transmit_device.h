// A reader served through the smart-card library, with a card reset and its
// protocol selected through the library's power and set-protocol requests,
// and transmit requests (IOCTL_SMARTCARD_TRANSMIT) sent the same way.
#pragma once

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "emulator/card/card.h"
#include "tests/fixture/plugged_reader.h"

namespace transmittest {

using readertest::Bytes;
using readertest::DualCard;

enum class Path { T0, T1, OldGeneration };

struct Transmission {
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
  Bytes header;    // the first 8 bytes CardTransmit left in its reply buffer
  Bytes response;  // what the caller got behind the header
};

// The header of a T=1 request: dwProtocol 2, cbPciLength 8.
extern const Bytes RequestHeader;

class TransmitDevice : public readertest::ServedReader {
 public:
  explicit TransmitDevice(Path path, emu::CardConfig card = DualCard(), const char* firmware = nullptr);
  TransmitDevice(Path path, emu::CardConfig card, emu::ReaderConfig reader);

  // A cold reset, then the path's protocol selected.
  void ResetCard();
  // The header that names the selected protocol, as the library wants it.
  Bytes Header() const;
  // Header() + command as a transmit request. The bus trace starts afresh;
  // each transmission checks that no block tagged TQM9 outlives it and that
  // the reader lock is free again.
  Transmission Transmit(const Bytes& command, ULONG replyLength = ExchangeBufferSize);
  // CardTransmit called with IoRequest set by hand: for what the library
  // refuses itself, and for a request and a reply that share one buffer.
  Transmission CallCardTransmit(const Bytes& request, ULONG replyLength, bool shared);

  readertest::ServedReader& Served() { return *this; }

  std::shared_ptr<emu::Card> card;
  Path path;

 private:
  Transmission Checked(NTSTATUS status, ULONG_PTR information, const Bytes& header, ULONG liveBefore);
};

// A block from the driver (NAD 0x52) and from the card (NAD 0x25): NAD PCB LEN INF LRC.
Bytes Block(UCHAR pcb, const Bytes& inf = {});
Bytes CardBlock(UCHAR pcb, const Bytes& inf = {});
Bytes Concat(std::initializer_list<Bytes> parts);
// Count bytes counting up from First.
Bytes Pattern(std::size_t count, std::uint8_t first = 0);
// Bytes written as hex pairs, spaces between them: "52 40 00 04".
Bytes Hex(std::string_view text);

}  // namespace transmittest
