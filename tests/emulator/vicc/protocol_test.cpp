// The bridge's pure pieces: message framing, the IFSC read from vicc's ATR,
// splitting an answer, and a decoded command turned back into its bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "emulator/card/apdu.h"
#include "emulator/vicc/vicc_protocol.h"

namespace emu::test {
namespace {

TEST(ViccProtocol, MessageIsBigEndianLengthThenPayload) {
  EXPECT_EQ(vicc::FrameMessage(Bytes{0x04}), (Bytes{0x00, 0x01, 0x04}));
  const Bytes apdu = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
  EXPECT_EQ(vicc::FrameMessage(apdu), (Bytes{0x00, 0x07, 0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}));
  const Bytes big(0x1234, 0xAB);
  const Bytes framed = vicc::FrameMessage(big);
  ASSERT_EQ(framed.size(), 0x1236u);
  EXPECT_EQ(framed[0], 0x12);
  EXPECT_EQ(framed[1], 0x34);
}

TEST(ViccProtocol, IfscComesFromTheFirstTaOfAT1Group) {
  struct Case {
    const char* what;
    Bytes atr;
    std::optional<std::uint8_t> ifsc;
  };
  const Case cases[] = {
      {"T=0 only, no interface bytes", {0x3B, 0x00}, std::nullopt},
      // T0 80: TD1; TD1 81: TD2, T=1; TD2 31: TA3 TB3, T=1; TA3 FE; TB3 45; TCK.
      {"TA3 after TD2 naming T=1", {0x3B, 0x80, 0x81, 0x31, 0xFE, 0x45, 0x8B}, 0xFE},
      // TD2 30 names T=0: its TA3 is no IFSC.
      {"TA3 after TD2 naming T=0", {0x3B, 0x80, 0x81, 0x30, 0x20, 0x45, 0x00}, std::nullopt},
      // TA1 13 is FI/DI, never the IFSC; TD1 81 names T=1 but TA2 is not TA3.
      {"TA1 and TA2 are not the IFSC", {0x3B, 0x90, 0x13, 0x91, 0x40, 0x00}, std::nullopt},
      // TD2 A1: TB3 and TD3, T=1 (no TA3); TD3 11: TA4 80, T=1.
      {"first TA of a later T=1 group", {0x3B, 0x80, 0x81, 0xA1, 0x45, 0x11, 0x80, 0x00}, 0x80},
      {"reserved IFSC 00", {0x3B, 0x80, 0x81, 0x11, 0x00, 0x00}, std::nullopt},
      {"reserved IFSC FF", {0x3B, 0x80, 0x81, 0x11, 0xFF, 0x00}, std::nullopt},
      {"truncated before TA3", {0x3B, 0x80, 0x81, 0x11}, std::nullopt},
      {"too short to hold T0", {0x3B}, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(vicc::AtrIfsc(c.atr), c.ifsc) << c.what;
  }
}

TEST(ViccProtocol, CardConfigKeepsTheAtrAndItsIfsc) {
  const Bytes atr = {0x3B, 0x80, 0x81, 0x31, 0xFE, 0x45, 0x8B};
  const CardConfig config = vicc::CardConfigForAtr(atr);
  ASSERT_TRUE(config.atrOverride.has_value());
  EXPECT_EQ(*config.atrOverride, atr);
  EXPECT_EQ(config.atr.ta3, std::optional<std::uint8_t>(0xFE));
  EXPECT_EQ(Card(config).T1Ifsc(), 0xFE);
  EXPECT_EQ(Card(vicc::CardConfigForAtr(Bytes{0x3B, 0x00})).T1Ifsc(), 32);
}

TEST(ViccProtocol, AnswerSplitsIntoDataAndStatusWord) {
  const auto status = vicc::SplitResponse(Bytes{0x6A, 0x82});
  ASSERT_TRUE(status);
  EXPECT_TRUE(status->data.empty());
  EXPECT_EQ(status->sw, 0x6A82);
  const auto data = vicc::SplitResponse(Bytes{0x01, 0x02, 0x90, 0x00});
  ASSERT_TRUE(data);
  EXPECT_EQ(data->data, (Bytes{0x01, 0x02}));
  EXPECT_EQ(data->sw, 0x9000);
  EXPECT_FALSE(vicc::SplitResponse(Bytes{0x90}));
  EXPECT_FALSE(vicc::SplitResponse(Bytes{}));
}

TEST(ViccProtocol, DecodedCommandSerializesToItsOwnBytes) {
  // UPDATE BINARY with 300 data bytes (Lc 00 01 2C), then with Le 0000 (65536) too.
  Bytes case3e(7 + 300, 0x5A);
  const std::uint8_t header[] = {0x00, 0xD6, 0x00, 0x00, 0x00, 0x01, 0x2C};
  std::copy(std::begin(header), std::end(header), case3e.begin());
  Bytes case4e = case3e;
  case4e.push_back(0x00);
  case4e.push_back(0x00);
  const Bytes cases[] = {
      {0x00, 0x84, 0x00, 0x00},                          // case 1
      {0x00, 0x84, 0x00, 0x00, 0x08},                    // case 2S
      {0x00, 0xB0, 0x00, 0x00, 0x00},                    // case 2S, Le 00 (256)
      {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00},        // case 3S
      {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00, 0x00},  // case 4S
      {0x00, 0xB0, 0x00, 0x00, 0x00, 0x01, 0x00},        // case 2E, Le 0100
      case3e,
      case4e,
  };
  for (const Bytes& apdu : cases) {
    const auto command = ParseCommandApdu(apdu);
    ASSERT_TRUE(command);
    EXPECT_EQ(Serialize(*command), apdu);
  }
}

}  // namespace
}  // namespace emu::test
