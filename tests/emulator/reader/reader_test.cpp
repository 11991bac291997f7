// The reader's USB side as the host meets it. Faults the driver's tests
// script into the reader whose effect on the reader those tests cannot see
// (a refused command not run, a lost frame, a port that stays disabled; the
// driver's tests fail on the others): what the host then reads, and that the
// fault is used once. Frames no host should
// send, answered as the reader answers them: the error reply 21 <control> 04
// 01 <command> F<code> AD <check> (old generation: 21 00 00 04 01 <command>
// F<code> AD), codes 1 check byte, 2 unknown command, 3 length, 4 no card,
// 5 card not powered, 6 unknown frame, 7 no result; the reader keeps working
// afterwards. The old frame generation (firmware below 2.01): reader commands
// with a 24-bit length and no check byte, and card frames the reader runs
// itself (0x50 T=0, 0x51 T=1) that the host polls with 01 D2 and collects
// with 01 D3.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "tests/emulator/reader/reader_harness.h"

namespace emu::test {
namespace {

const char* const kStatusRequest = "12 00 02 01 31 20";
const char* const kStatusReply = "12 00 05 01 31 08 90 00 BF";  // a card, not powered

struct Row {
  const char* note;
  void (*script)(Reader&);
  const char* request;
  const char* seen;  // what the host then reads
};

TEST(ReaderFaults, EachKindChangesOneReply) {
  const Row rows[] = {
      {"error reply: no reset", [](Reader& r) { r.ScriptFault(ReplyFault::ErrorReply()); }, "12 40 03 01 D1 01 80",
       "21 40 04 01 D1 F1 AD E9|nak"},
      {"failed OUT loses the frame", [](Reader& r) { r.FailNextBulkOut(); }, kStatusRequest, "nak"},
      {"disabled port until reset", [](Reader& r) { r.DisablePort(); }, kStatusRequest, "fail"},
  };
  for (const Row& row : rows) {
    Reader reader(InstantConfig());
    Host host(reader);
    const auto card = std::make_shared<Card>();
    reader.InsertCard(card);
    row.script(reader);
    host.Write(Hex(row.request), 0);
    EXPECT_EQ(host.Seen(0), Squeezed(row.seen)) << row.note;
    reader.ResetPort();
    EXPECT_EQ(host.Seen(0), "nak") << row.note;
    EXPECT_EQ(host.Exchange(Hex(kStatusRequest)), Hex(kStatusReply)) << row.note;
    EXPECT_EQ(reader.CurrentCard(), card) << row.note;
    EXPECT_FALSE(card->Powered()) << row.note;
  }
}

enum class Slot { Empty, Card, PoweredT0 };

struct Frame {
  const char* note;
  const char* firmware;
  Slot slot;
  const char* request;
  const char* seen;  // what the host reads a second later
};

TEST(HostileInput, EachFrameGetsTheReadersAnswerAndNothingMore) {
  const Frame rows[] = {
      {"unknown frame type", "2.27", Slot::Empty, "99 01 02 03", "21 00 04 01 99 F6 AD E6|nak"},
      {"bad check byte keeps the control byte", "2.27", Slot::Empty, "12 40 02 01 31 61",
       "21 40 04 01 31 F1 AD 09|nak"},
      {"no command byte", "2.27", Slot::Empty, "12 00 00 12", "21 00 04 01 12 F3 AD 68|nak"},
      {"fragment that never completes", "2.27", Slot::Empty, "12 00 02", "21 00 04 01 12 F3 AD 68|nak"},
      {"a second frame in the same transfer is dropped", "2.27", Slot::Empty, "12 00 02 01 31 20 12 00 02 01 31 20",
       "12 00 05 01 31 00 90 00 B7|nak"},
      {"unknown command", "2.27", Slot::Empty, "12 00 02 01 77 66", "21 00 04 01 77 F2 AD 0C|nak"},
      {"eject without a card", "2.27", Slot::Empty, "12 00 02 01 39 28", "21 00 04 01 39 F4 AD 44|nak"},
      {"result without a card frame", "2.27", Slot::Empty, "12 00 02 01 D3 C2", "21 00 04 01 D3 F7 AD AD|nak"},
      {"card frame to an unpowered card", "2.27", Slot::Card, "52 00 00 05 80 20 00 01 01 F7",
       "21 00 04 01 52 F5 AD 2E|nak"},
      {"T=0 frame of 261 command bytes", "2.27", Slot::PoweredT0, "52 00 01 05", "21 00 04 01 52 F3 AD 28|nak"},
      {"old command of 16 MB", "1.50", Slot::PoweredT0, "10 FF FF FF 01 31", "21 00 00 04 01 31 F3 AD|nak"},
      {"old card frame beyond 65,568 bytes", "1.50", Slot::PoweredT0, "51 01 00 1D 00", "21 00 00 04 01 51 F3 AD|nak"},
      {"old card frame shorter than a header", "1.50", Slot::PoweredT0, "51 00 00 03 00 A4 00",
       "21 00 00 04 01 51 F3 AD|nak"},
      {"old card frame to an unpowered card", "1.50", Slot::Card, "51 00 00 05 80 20 00 04 04",
       "21 00 00 04 01 51 F5 AD|nak"},
  };
  for (const Frame& row : rows) {
    Reader reader(InstantConfig(row.firmware));
    Host host(reader);
    if (row.slot != Slot::Empty) reader.InsertCard(std::make_shared<Card>());
    if (row.slot == Slot::PoweredT0) host.Exchange(Hex("12 00 03 01 D1 00 C1"));
    host.Write(Hex(row.request), 0);
    EXPECT_EQ(host.Seen(1'000'000), Squeezed(row.seen)) << row.note;
    const Bytes status = host.Exchange(Hex(kStatusRequest), 2'000'000);
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
  EXPECT_EQ(host.Exchange(Hex(kStatusRequest), now + 1).size(), 9u);
}

// The card goes while the reader runs a card frame: the transfer state turns
// to 03 and the collection gets the reader's error. (The driver's tests run
// the common flow and the longest frames of this generation.)
TEST(OldGeneration, ACardRemovedDuringTheTransferEndsIt) {
  ReaderConfig config = InstantConfig("1.50");
  config.transferBusyPolls = 2;
  Reader reader(config);
  Host host(reader);
  reader.InsertCard(std::make_shared<Card>());
  EXPECT_EQ(host.Exchange(Hex("10 00 00 02 01 D1")), Hex("10 00 00 04 01 D1 90 00"));
  EXPECT_EQ(host.Exchange(Hex("51 00 00 05 80 20 00 04 04")), Hex("51 00 00 02 90 00"));
  EXPECT_EQ(host.Exchange(Hex("10 00 00 02 01 D2")), Hex("10 00 00 05 01 D2 00 90 00"));
  reader.RemoveCard();
  EXPECT_EQ(host.Exchange(Hex("10 00 00 02 01 D2")), Hex("10 00 00 05 01 D2 03 90 00"));
  EXPECT_EQ(host.Exchange(Hex("10 00 00 02 01 D3")), Hex("21 00 00 04 01 D3 F7 AD"));
}

}  // namespace
}  // namespace emu::test
