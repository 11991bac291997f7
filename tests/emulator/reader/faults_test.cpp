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
  const char* request;
  std::vector<std::pair<DeviceTime, const char*>> reads;  // when the host reads, what it sees
};

TEST(ReaderFaults, EachKindChangesOneReply) {
  const Row rows[] = {
      {"split after 3 bytes", [](Reader& r) { r.ScriptFault(ReplyFault::Split({3})); }, kStatusRequest,
       {{0, "12 00 05|01 31 08 90 00 BF|nak"}}},
      {"delayed by 30 s", [](Reader& r) { r.ScriptFault(ReplyFault::Delay(30'000'000)); }, kStatusRequest,
       {{0, "nak@30000000"}, {30'000'000, "12 00 05 01 31 08 90 00 BF|nak"}}},
      {"withheld", [](Reader& r) { r.ScriptFault(ReplyFault::Withhold()); }, kStatusRequest,
       {{5'000'000'000, "nak"}}},
      {"bad check byte", [](Reader& r) { r.ScriptFault(ReplyFault::BadCheckByte()); }, kStatusRequest,
       {{0, "12 00 05 01 31 08 90 00 40|nak"}}},
      {"error reply instead of a reset: the card stays unpowered",
       [](Reader& r) { r.ScriptFault(ReplyFault::ErrorReply()); }, "12 40 03 01 D1 01 80",
       {{0, "21 40 04 01 D1 F1 AD E9|nak"}}},
      {"no reply to an eject: the card stays", [](Reader& r) { r.ScriptFault(ReplyFault::NoReply()); },
       "12 00 02 01 39 28", {{50'000'000, "nak"}}},
      {"truncated to 5 bytes", [](Reader& r) { r.ScriptFault(ReplyFault::Truncate(5)); }, kStatusRequest,
       {{0, "12 00 05 01 31|nak"}}},
      {"oversized: an old header announcing 128 KiB", [](Reader& r) { r.ScriptFault(ReplyFault::Oversized(0x020000)); },
       kStatusRequest, {{0, "10 02 00 00"}}},
      {"failed IN transfer keeps the reply", [](Reader& r) { r.FailNextBulkIn(); }, kStatusRequest,
       {{0, "fail"}, {0, "12 00 05 01 31 08 90 00 BF|nak"}}},
      {"failed OUT transfer loses the frame", [](Reader& r) { r.FailNextBulkOut(); }, kStatusRequest, {{0, "nak"}}},
      {"disabled port until reset", [](Reader& r) { r.DisablePort(); }, kStatusRequest, {{0, "fail"}}},
      {"zero-length packets while idle",
       [](Reader& r) {
         r.SetZeroLengthWhenIdle(true);
         r.ScriptFault(ReplyFault::Delay(30'000));
       },
       kStatusRequest, {{29'999, "zlp"}, {30'000, "12 00 05 01 31 08 90 00 BF|zlp"}}},
  };
  for (const Row& row : rows) {
    Reader reader(InstantConfig());
    Host host(reader);
    const auto card = DualProtocolCard();
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
