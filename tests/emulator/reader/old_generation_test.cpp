// The old frame generation (firmware below 2.01): reader commands with a
// 24-bit length and no check byte, and card frames the reader runs itself
// (0x50 T=0, 0x51 T=1) that the host polls with 01 D2 and collects with 01 D3.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "tests/emulator/reader/reader_harness.h"

namespace emu::test {
namespace {

const char* const kReset = "10 00 00 02 01 D1";
const char* const kResetReply = "10 00 00 04 01 D1 90 00";
const char* const kPoll = "10 00 00 02 01 D2";
const char* const kCollect = "10 00 00 02 01 D3";
const char* const kRemoveCard = "";

struct Row {
  const char* note;
  std::vector<std::pair<const char*, const char*>> steps;  // request, the whole reply
};

TEST(OldGeneration, FramesAndTheirReplies) {
  const Row rows[] = {
      {"reader commands",
       {{"10 00 00 02 01 31", "10 00 00 05 01 31 08 90 00"},
        {"10 00 00 02 01 C0", "10 00 00 0F 01 C0 5A 55 4E 54 41 20 52 31 2E 35 30 90 00"}}},  // "ZUNTA R" "1.50"
      {"T=1 card frame: generate 4 bytes, busy for two polls",
       {{kReset, kResetReply},
        {"51 00 00 05 80 20 00 04 04", "51 00 00 02 90 00"},
        {kPoll, "10 00 00 05 01 D2 00 90 00"},
        {kPoll, "10 00 00 05 01 D2 01 90 00"},
        {kPoll, "10 00 00 05 01 D2 02 90 00"},
        {kCollect, "10 00 00 06 00 01 02 03 90 00"}}},
      {"T=0 card frame",
       {{kReset, kResetReply},
        {"50 00 00 05 80 20 00 02 02", "50 00 00 02 90 00"},
        {kPoll, "10 00 00 05 01 D2 00 90 00"},
        {kPoll, "10 00 00 05 01 D2 01 90 00"},
        {kPoll, "10 00 00 05 01 D2 02 90 00"},
        {kCollect, "10 00 00 04 00 01 90 00"}}},
      {"extended echo of 1000 bytes: 24-bit lengths both ways",
       {{kReset, kResetReply},
        {"51 00 03 F1 80 22 00 00 00 03 E8 00..FF 00..FF 00..FF 00..E7 00 00", "51 00 00 02 90 00"},
        {kPoll, "10 00 00 05 01 D2 00 90 00"},
        {kPoll, "10 00 00 05 01 D2 01 90 00"},
        {kPoll, "10 00 00 05 01 D2 02 90 00"},
        {"12 00 02 01 D3 C2", "21 00 04 01 D3 F3 AD A9"},  // too long for a new-generation reply
        {kCollect, "10 00 03 EA 00..FF 00..FF 00..FF 00..E7 90 00"}}},
      {"card removed during the transfer",
       {{kReset, kResetReply},
        {"51 00 00 05 80 20 00 04 04", "51 00 00 02 90 00"},
        {kPoll, "10 00 00 05 01 D2 00 90 00"},
        {kRemoveCard, ""},
        {kPoll, "10 00 00 05 01 D2 03 90 00"},
        {kCollect, "21 00 00 04 01 D3 F7 AD"}}},
      {"card frame to an unpowered card",
       {{"51 00 00 05 80 20 00 04 04", "21 00 00 04 01 51 F5 AD"}, {kPoll, "10 00 00 05 01 D2 03 90 00"}}},
  };
  for (const Row& row : rows) {
    ReaderConfig config = InstantConfig("1.50");
    config.transferBusyPolls = 2;
    Reader reader(config);
    Host host(reader);
    reader.InsertCard(std::make_shared<Card>());
    for (const auto& [request, reply] : row.steps) {
      if (*request == '\0') {
        reader.RemoveCard();
        continue;
      }
      EXPECT_EQ(host.Exchange(Hex(request)), Hex(reply)) << row.note << ": " << request;
    }
  }
}

}  // namespace
}  // namespace emu::test
