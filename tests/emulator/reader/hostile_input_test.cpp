// Frames no host should send, answered as the reader answers them: the error
// reply 21 <control> 04 01 <command> F<code> AD <check> (old generation:
// 21 00 00 04 01 <command> F<code> AD), codes 1 check byte, 2 unknown
// command, 3 length, 4 no card, 5 card not powered, 6 unknown frame, 7 no
// result. The reader keeps working afterwards.
#include <gtest/gtest.h>

#include <random>

#include "tests/emulator/reader/reader_harness.h"

namespace emu::test {
namespace {

const Bytes kStatusRequest = Hex("12 00 02 01 31 20");

enum class Slot { Empty, Card, PoweredT0 };

struct Row {
  const char* note;
  const char* firmware;
  Slot slot;
  const char* request;
  const char* seen;  // what the host reads a second later
};

TEST(HostileInput, EachFrameGetsTheReadersAnswerAndNothingMore) {
  const Row rows[] = {
      {"unknown frame type", "2.27", Slot::Empty, "99 01 02 03", "21 00 04 01 99 F6 AD E6|nak"},
      {"unknown frame type, old reader", "1.50", Slot::Empty, "99 01", "21 00 00 04 01 99 F6 AD|nak"},
      {"bad check byte keeps the control byte", "2.27", Slot::Empty, "12 40 02 01 31 61",
       "21 40 04 01 31 F1 AD 09|nak"},
      {"no command byte", "2.27", Slot::Empty, "12 00 00 12", "21 00 04 01 12 F3 AD 68|nak"},
      {"fragment that never completes", "2.27", Slot::Empty, "12 00 02", "21 00 04 01 12 F3 AD 68|nak"},
      {"a second frame in the same transfer is dropped", "2.27", Slot::Empty, "12 00 02 01 31 20 12 00 02 01 31 20",
       "12 00 05 01 31 00 90 00 B7|nak"},
      {"B0 takes two parameters", "2.27", Slot::Empty, "12 00 03 01 B0 05 A5", "21 00 04 01 B0 F3 AD CA|nak"},
      {"reset takes at most one", "2.27", Slot::Card, "12 00 04 01 D1 01 00 C7", "21 00 04 01 D1 F3 AD AB|nak"},
      {"unknown command", "2.27", Slot::Empty, "12 00 02 01 77 66", "21 00 04 01 77 F2 AD 0C|nak"},
      {"wrong leading byte 02", "2.27", Slot::Empty, "12 00 02 02 31 23", "21 00 04 01 31 F2 AD 4A|nak"},
      {"eject without a card", "2.27", Slot::Empty, "12 00 02 01 39 28", "21 00 04 01 39 F4 AD 44|nak"},
      {"eject without a card, old frame", "1.50", Slot::Empty, "10 00 00 02 01 39", "21 00 00 04 01 39 F4 AD|nak"},
      {"ATR without a card", "2.27", Slot::Empty, "12 00 04 01 35 0A 00 28", "21 00 04 01 35 F4 AD 48|nak"},
      {"reset without a card", "2.27", Slot::Empty, "12 40 03 01 D1 01 80", "21 40 04 01 D1 F4 AD EC|nak"},
      {"result without a card frame", "2.27", Slot::Empty, "12 00 02 01 D3 C2", "21 00 04 01 D3 F7 AD AD|nak"},
      {"card frame to an unpowered card", "2.27", Slot::Card, "52 00 00 05 80 20 00 01 01 F7",
       "21 00 04 01 52 F5 AD 2E|nak"},
      {"T=0 frame, bad check byte", "2.27", Slot::PoweredT0, "52 40 00 05 80 20 00 01 01 B6",
       "21 40 04 01 52 F1 AD 6A|nak"},
      {"T=0 frame of 261 command bytes", "2.27", Slot::PoweredT0, "52 00 01 05", "21 00 04 01 52 F3 AD 28|nak"},
      {"old command of 16 MB", "1.50", Slot::PoweredT0, "10 FF FF FF 01 31", "21 00 00 04 01 31 F3 AD|nak"},
      {"old command without a command byte", "1.50", Slot::PoweredT0, "10 00 00 01 01", "21 00 00 04 01 10 F3 AD|nak"},
      {"old card frame beyond 65,568 bytes", "1.50", Slot::PoweredT0, "51 01 00 1D 00", "21 00 00 04 01 51 F3 AD|nak"},
      {"old card frame shorter than a header", "1.50", Slot::PoweredT0, "51 00 00 03 00 A4 00",
       "21 00 00 04 01 51 F3 AD|nak"},
      {"old card frame to an unpowered card", "1.50", Slot::Card, "51 00 00 05 80 20 00 04 04",
       "21 00 00 04 01 51 F5 AD|nak"},
  };
  for (const Row& row : rows) {
    Reader reader(InstantConfig(row.firmware));
    Host host(reader);
    if (row.slot != Slot::Empty) reader.InsertCard(std::make_shared<Card>());
    if (row.slot == Slot::PoweredT0) host.Exchange(Hex("12 00 03 01 D1 00 C1"));
    host.Write(Hex(row.request), 0);
    EXPECT_EQ(host.Seen(1'000'000), Squeezed(row.seen)) << row.note;
    const Bytes status = host.Exchange(kStatusRequest, 2'000'000);
    EXPECT_EQ(status.size(), 9u) << row.note;
  }
}

// Random transfers, many of them starting like real frames: nothing runs
// out of bounds (the sanitizer builds check that), and the reader still
// answers a status request afterwards.
TEST(HostileInput, RandomTransfersNeverBreakTheReader) {
  Reader reader(InstantConfig());
  Host host(reader);
  std::mt19937 random(7816);
  const std::uint8_t starts[] = {0x10, 0x12, 0x50, 0x51, 0x52, 0x99, 0x00, 0xFF};
  DeviceTime now = 0;
  for (int i = 0; i < 3000; ++i) {
    Bytes transfer(random() % 300);
    for (auto& b : transfer) b = static_cast<std::uint8_t>(random());
    if (!transfer.empty() && random() % 2 == 0) transfer[0] = starts[random() % std::size(starts)];
    if (transfer.size() > 3 && random() % 2 == 0) transfer[1] = transfer[2] = 0;  // short lengths
    if (i % 97 == 0) reader.InsertCard(std::make_shared<Card>());
    host.Write(transfer, now);
    now += random() % 3 == 0 ? 2'000'000 : 1'000;
    for (usb::InResult in = host.Read(1 + random() % 300, now); in.kind == usb::InResult::Kind::Data && !in.data.empty();
         in = host.Read(1 + random() % 300, now)) {
    }
  }
  now += 10'000'000;
  host.Seen(now);  // lets a pending fragment expire and drains what is left
  EXPECT_EQ(host.Exchange(kStatusRequest, now + 1).size(), 9u);
}

}  // namespace
}  // namespace emu::test
