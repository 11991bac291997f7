// The bridge end to end on the reader's side: what vicc receives byte for
// byte, cards inserted and removed with connections, and APDUs carried
// through the reader's T=1 and T=0 card frames.
#include <gtest/gtest.h>

#include "tests/emulator/vicc/bridge_harness.h"

namespace emu::test {
namespace {

TEST_F(ViccBridge, ConnectionIsACardWithViccsAtrAndClosingRemovesIt) {
  ASSERT_TRUE(listener->Listening()) << listener->Error();
  EXPECT_NE(listener->Port(), 0);
  EXPECT_EQ(reader.CurrentCard(), nullptr);

  auto vicc = Insert(FakeVicc::CardWith(kT1Atr, [](const Bytes&) { return Framed({0x90, 0x00}); }));
  // The first thing vicc hears is the request for its ATR: length 1, control 04.
  ASSERT_TRUE(vicc->WaitForMessages(1));
  EXPECT_EQ(vicc->Messages()[0], (Bytes{0x00, 0x01, 0x04}));
  const std::shared_ptr<Card> first = reader.CurrentCard();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->Atr(), kT1Atr);
  EXPECT_EQ(first->T1Ifsc(), 0xFE);
  EXPECT_EQ(reader.StatusByte() & 0x18, 0x08);  // present, not powered

  vicc->Close();
  ASSERT_TRUE(WaitForRemovals(1));
  EXPECT_EQ(reader.CurrentCard(), nullptr);
  EXPECT_EQ(reader.StatusByte() & 0x08, 0);

  // A new connection is a new insertion, with the ATR that vicc gives now.
  auto again = Insert(FakeVicc::CardWith(kT0Atr, [](const Bytes&) { return Framed({0x90, 0x00}); }));
  const std::shared_ptr<Card> second = reader.CurrentCard();
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, first);
  EXPECT_EQ(second->Atr(), kT0Atr);
  const ViccStats stats = listener->Stats();
  EXPECT_EQ(stats.insertions, 2u);
  EXPECT_EQ(stats.removals, 1u);
  EXPECT_EQ(stats.refused, 0u);
}

TEST_F(ViccBridge, PowerOnResetAndPowerOffReachViccAsControls) {
  auto vicc = Insert(FakeVicc::CardWith(kT1Atr, [](const Bytes&) { return Framed({0x90, 0x00}); }));
  ResetCard(kColdT1);  // activation
  ResetCard(kWarmT1);  // warm reset of the powered card
  ResetCard(kColdT1);  // cold reset of the powered card: deactivation first
  host.Exchange(NewCommand(0x00, {0x00, 0xF5}));  // the firmware restart powers the card down
  ASSERT_TRUE(vicc->WaitForMessages(6));
  const std::vector<Bytes> expected = {
      {0x00, 0x01, 0x04},  // ATR request on connection
      {0x00, 0x01, 0x01},  // power on
      {0x00, 0x01, 0x02},  // reset
      {0x00, 0x01, 0x00},  // power off ...
      {0x00, 0x01, 0x01},  // ... and on
      {0x00, 0x01, 0x00},  // power off
  };
  EXPECT_EQ(vicc->Messages(), expected);
}

TEST_F(ViccBridge, T1BlockCarriesTheApduToViccAndItsAnswerBack) {
  auto vicc = Insert(FakeVicc::CardWith(kT1Atr, [](const Bytes& apdu) {
    return apdu[1] == 0x84 ? Framed({0x11, 0x22, 0x33, 0x44, 0x90, 0x00}) : Framed({0x6A, 0x82});
  }));
  ResetCard(kColdT1);
  ASSERT_EQ(reader.ProtocolMode(), CardFrameMode::T1);

  const Bytes getChallenge = {0x00, 0x84, 0x00, 0x00, 0x04};
  EXPECT_EQ(T1Exchange(0, getChallenge), t1::BuildIBlock(0x25, 0, false, Bytes{0x11, 0x22, 0x33, 0x44, 0x90, 0x00}));
  const Bytes select = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x01};
  EXPECT_EQ(T1Exchange(1, select), t1::BuildIBlock(0x25, 1, false, Bytes{0x6A, 0x82}));

  ASSERT_TRUE(vicc->WaitForMessages(4));
  const std::vector<Bytes> messages = vicc->Messages();
  EXPECT_EQ(messages[2], (Bytes{0x00, 0x05, 0x00, 0x84, 0x00, 0x00, 0x04}));
  EXPECT_EQ(messages[3], (Bytes{0x00, 0x07, 0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x01}));
}

TEST_F(ViccBridge, T1ChainsALongAnswerAndAChainedCommandReachesViccWhole) {
  Bytes answer(300);
  for (std::size_t i = 0; i < answer.size(); ++i) answer[i] = static_cast<std::uint8_t>(i);
  answer.insert(answer.end(), {0x90, 0x00});
  auto vicc = Insert(FakeVicc::CardWith(kT1Atr, [&](const Bytes&) { return Framed(answer); }));
  ResetCard(kColdT1);

  // Command: 80 22 echo with 40 data bytes, sent in two chained blocks.
  Bytes command = {0x80, 0x22, 0x00, 0x00, 40};
  for (std::uint8_t i = 0; i < 40; ++i) command.push_back(i);
  const Bytes head(command.begin(), command.begin() + 20);
  const Bytes tail(command.begin() + 20, command.end());
  EXPECT_EQ(host.Exchange(t1::BuildIBlock(0x52, 0, true, head)), t1::BuildRBlock(0x25, 1, t1::kNoError));
  Bytes received;
  Bytes block = host.Exchange(t1::BuildIBlock(0x52, 1, false, tail));
  // The card sends at most IFSD (32) bytes a block and chains the rest.
  std::uint8_t expectNext = 1;
  for (int blocks = 0; blocks < 20; ++blocks) {
    ASSERT_GE(block.size(), 4u);
    received.insert(received.end(), block.begin() + 3, block.end() - 1);
    if ((block[1] & 0x20) == 0) break;
    block = host.Exchange(t1::BuildRBlock(0x52, expectNext, t1::kNoError));
    expectNext ^= 1;
  }
  EXPECT_EQ(received, answer);
  ASSERT_TRUE(vicc->WaitForMessages(3));
  EXPECT_EQ(vicc->Messages()[2], Framed(command));
}

TEST_F(ViccBridge, T0CardRunsGetResponseItselfAndCarriesTheRestToVicc) {
  auto vicc = Insert(FakeVicc::CardWith(kT0Atr, [](const Bytes& apdu) {
    if (apdu[1] == 0xA4) return Framed({0x6F, 0x02, 0x83, 0x00, 0x90, 0x00});  // FCI and 9000
    return Framed({0xA1, 0xA2, 0x90, 0x00});
  }));
  ResetCard(kColdT0);
  ASSERT_EQ(reader.ProtocolMode(), CardFrameMode::T0);

  // Case 3 SELECT: the data vicc answers with wait for GET RESPONSE (61 04).
  EXPECT_EQ(host.Exchange(BuildT0Frame(0x00, Bytes{0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00})),
            BuildT0Frame(0x00, Bytes{0x61, 0x04}));
  EXPECT_EQ(host.Exchange(BuildT0Frame(0x40, Bytes{0x00, 0xC0, 0x00, 0x00, 0x04})),
            BuildT0Frame(0x40, Bytes{0x6F, 0x02, 0x83, 0x00, 0x90, 0x00}));
  // Case 2 with Le 2: the command goes to vicc as it is.
  EXPECT_EQ(host.Exchange(BuildT0Frame(0x00, Bytes{0x00, 0x84, 0x00, 0x00, 0x02})),
            BuildT0Frame(0x00, Bytes{0xA1, 0xA2, 0x90, 0x00}));

  ASSERT_TRUE(vicc->WaitForMessages(4));
  const std::vector<Bytes> expected = {
      {0x00, 0x01, 0x04},
      {0x00, 0x01, 0x01},
      {0x00, 0x07, 0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00},  // GET RESPONSE never reaches vicc
      {0x00, 0x05, 0x00, 0x84, 0x00, 0x00, 0x02},
  };
  EXPECT_EQ(vicc->Messages(), expected);
}

TEST_F(ViccBridge, SecondConnectionIsRefusedAndTheFirstCarriesOn) {
  auto first = Insert(FakeVicc::CardWith(kT1Atr, [](const Bytes&) { return Framed({0x90, 0x00}); }));
  const std::shared_ptr<Card> card = reader.CurrentCard();
  FakeVicc second(listener->Port(), FakeVicc::CardWith(kT0Atr, [](const Bytes&) { return Framed({0x90, 0x00}); }));
  EXPECT_TRUE(second.WaitForClosedByPeer());
  EXPECT_TRUE(second.Messages().empty());
  EXPECT_TRUE(listener->WaitFor([](const ViccStats& s) { return s.refused == 1; }, kEventBound));
  EXPECT_EQ(reader.CurrentCard(), card);
  ResetCard(kColdT1);
  EXPECT_EQ(T1Exchange(0, {0x00, 0x84, 0x00, 0x00}), t1::BuildIBlock(0x25, 0, false, Bytes{0x90, 0x00}));
}

TEST_F(ViccBridge, CardInsertedSinceStaysWhenViccLeaves) {
  auto vicc = Insert(FakeVicc::CardWith(kT1Atr, [](const Bytes&) { return Framed({0x90, 0x00}); }));
  auto own = std::make_shared<Card>();
  reader.InsertCard(own);
  vicc->Close();
  ASSERT_TRUE(WaitForRemovals(1));
  EXPECT_EQ(reader.CurrentCard(), own);
}

}  // namespace
}  // namespace emu::test
