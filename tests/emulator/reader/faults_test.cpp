// Faults the driver's tests script into the reader, one row per kind: what
// the host then reads of a request's reply, and that the fault is used once.
#include <gtest/gtest.h>

#include <functional>
#include <utility>
#include <vector>

#include "tests/emulator/reader/reader_harness.h"

namespace emu::test {
namespace {

const char* const kStatusRequest = "12 00 02 01 31 20";
const char* const kStatusReply = "12 00 05 01 31 08 90 00 BF";  // a card, not powered

struct Row {
  const char* note;
  std::function<void(Reader&)> script;
  std::vector<std::pair<DeviceTime, const char*>> reads;  // when the host reads, what it sees
  const char* request = kStatusRequest;
};

std::function<void(Reader&)> Scripted(const ReplyFault& fault) {
  return [fault](Reader& reader) { reader.ScriptFault(fault); };
}

TEST(ReaderFaults, EachKindChangesOneReply) {
  const Row rows[] = {
      {"split after 3 bytes", Scripted(ReplyFault::Split({3})), {{0, "12 00 05|01 31 08 90 00 BF|nak"}}},
      {"delayed",
       Scripted(ReplyFault::Delay(30'000'000)),
       {{0, "nak@30000000"}, {30000000, "12 00 05 01 31 08 90 00 BF|nak"}}},
      {"withheld", Scripted(ReplyFault::Withhold()), {{5'000'000'000, "nak"}}},
      {"bad check byte", Scripted(ReplyFault::BadCheckByte()), {{0, "12 00 05 01 31 08 90 00 40|nak"}}},
      {"error reply: no reset",
       Scripted(ReplyFault::ErrorReply()),
       {{0, "21 40 04 01 D1 F1 AD E9|nak"}},
       "12 40 03 01 D1 01 80"},
      {"no reply: no eject", Scripted(ReplyFault::NoReply()), {{50'000'000, "nak"}}, "12 00 02 01 39 28"},
      {"truncated to 5 bytes", Scripted(ReplyFault::Truncate(5)), {{0, "12 00 05 01 31|nak"}}},
      {"oversized, 128 KiB", Scripted(ReplyFault::Oversized(0x020000)), {{0, "10 02 00 00"}}},
      {"failed IN keeps the reply",
       [](Reader& r) { r.FailNextBulkIn(); },
       {{0, "fail"}, {0, "12 00 05 01 31 08 90 00 BF|nak"}}},
      {"failed OUT loses the frame", [](Reader& r) { r.FailNextBulkOut(); }, {{0, "nak"}}},
      {"disabled port until reset", [](Reader& r) { r.DisablePort(); }, {{0, "fail"}}},
      {"zero-length packets while idle",
       [](Reader& r) {
         r.SetZeroLengthWhenIdle(true);
         r.ScriptFault(ReplyFault::Delay(30'000));
       },
       {{29'999, "zlp"}, {30'000, "12 00 05 01 31 08 90 00 BF|zlp"}}},
  };
  for (const Row& row : rows) {
    Reader reader(InstantConfig());
    Host host(reader);
    const auto card = std::make_shared<Card>();
    reader.InsertCard(card);
    row.script(reader);
    host.Write(Hex(row.request), 0);
    for (const auto& [at, seen] : row.reads) {
      EXPECT_EQ(host.Seen(at).substr(0, Squeezed(seen).size()), Squeezed(seen)) << row.note;
    }
    reader.SetZeroLengthWhenIdle(false);
    reader.ResetPort();
    reader.ReleaseWithheldReply();
    EXPECT_EQ(host.Seen(0), "nak") << row.note;
    EXPECT_EQ(host.Exchange(Hex(kStatusRequest)), Hex(kStatusReply)) << row.note;
    EXPECT_EQ(reader.CurrentCard(), card) << row.note;
    EXPECT_FALSE(card->Powered()) << row.note;
  }
}

}  // namespace
}  // namespace emu::test
