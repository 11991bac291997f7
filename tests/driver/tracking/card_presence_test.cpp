// The four rules of card presence, side by side: one row per status byte.
#include <gtest/gtest.h>

#include "driver/tracking/card_presence.h"
#include "platform/smclib/winsmcrd.h"

namespace {

TEST(CardPresence, EachMomentWeighsTheStatusBitsItsOwnWay) {
  struct Row {
    UCHAR status;
    BOOLEAN poll, cardPower, start;
  };
  const Row rows[] = {
      {0x38, TRUE, TRUE, TRUE},     // card in, powered, set up
      {0x28, TRUE, TRUE, FALSE},    // card in, set up, not powered
      {0x18, TRUE, FALSE, FALSE},   // card in, powered, not set up
      {0x08, TRUE, FALSE, FALSE},   // card in
      {0x30, FALSE, FALSE, FALSE},  // powered, set up, no card
      {0x20, FALSE, FALSE, FALSE},  // set up, no card (also what a failed read leaves)
      {0x00, FALSE, FALSE, FALSE},
      {0xF7, FALSE, FALSE, FALSE},  // every bit but the card's
      {0xFF, TRUE, TRUE, TRUE},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(PollSeesCard(row.status), row.poll) << std::hex << int{row.status};
    EXPECT_EQ(CardPowerSeesCard(row.status), row.cardPower) << std::hex << int{row.status};
    EXPECT_EQ(StartSeesPoweredCard(row.status), row.start) << std::hex << int{row.status};
  }
  EXPECT_FALSE(CardStateShowsCard(SCARD_UNKNOWN));
  EXPECT_FALSE(CardStateShowsCard(SCARD_ABSENT));
  EXPECT_TRUE(CardStateShowsCard(SCARD_PRESENT));
  EXPECT_TRUE(CardStateShowsCard(SCARD_SPECIFIC));
}

}  // namespace
