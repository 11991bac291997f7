// Peers that break the protocol or stop answering, and the listener's own
// end: every fault removes the card without hanging the reader, and nothing
// is left behind.
#include <gtest/gtest.h>

#include <dirent.h>

#include <thread>

#include "tests/emulator/vicc/bridge_harness.h"

namespace emu::test {
namespace {

Bytes Ok(const Bytes&) { return Framed({0x90, 0x00}); }

std::size_t Entries(const char* directory) {
  std::size_t count = 0;
  if (DIR* dir = opendir(directory)) {
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
  }
  return count;
}

// A thread that has been joined may still show in /proc for a moment (under
// qemu-user longer, and qemu's own threads come and go, even in the count
// taken before), so the count is given the event bound to fall to at most
// what it was: a leak is an entry more.
std::size_t EntriesSettledTo(const char* directory, std::size_t expected) {
  const auto until = std::chrono::steady_clock::now() + kEventBound;
  std::size_t count = Entries(directory);
  while (count > expected && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    count = Entries(directory);
  }
  return count;
}

TEST_F(ViccBridge, AtrThatIsNoAtrRefusesTheConnection) {
  struct Case {
    const char* what;
    Bytes wire;  // vicc's whole answer to the ATR request
  };
  const Case cases[] = {
      {"message of length 0", {0x00, 0x00}},
      {"one byte", Framed({0x3B})},
      {"34 bytes", Framed(Bytes(34, 0x3B))},
      {"length without its bytes", {0x00, 0x05, 0x3B}},  // then vicc stops
  };
  std::uint32_t refused = 0;
  for (const Case& c : cases) {
    const Bytes wire = c.wire;
    FakeVicc vicc(listener->Port(), [wire](const Bytes&) { return wire; }, true);
    ++refused;
    EXPECT_TRUE(listener->WaitFor([&](const ViccStats& s) { return s.refused == refused; }, kEventBound)) << c.what;
    EXPECT_EQ(reader.CurrentCard(), nullptr) << c.what;
    EXPECT_TRUE(vicc.WaitForClosedByPeer()) << c.what;
  }
  EXPECT_EQ(listener->Stats().insertions, 0u);
}

TEST_F(ViccBridge, MalformedAnswerLeavesTheCardMuteAndRemovesIt) {
  struct Case {
    const char* what;
    Bytes wire;  // vicc's answer to the APDU
  };
  const Case cases[] = {
      {"message of length 0", {0x00, 0x00}},
      {"response of one byte", Framed({0x90})},
  };
  std::uint32_t removals = 0;
  for (const Case& c : cases) {
    const Bytes wire = c.wire;
    auto vicc = Insert(FakeVicc::CardWith(kT1Atr, [wire](const Bytes&) { return wire; }));
    ResetCard(kColdT1);
    host.Write(t1::BuildIBlock(0x52, 0, false, Bytes{0x00, 0x84, 0x00, 0x00, 0x08}), 0);
    EXPECT_EQ(host.Read(256, 0).kind, usb::InResult::Kind::NotReady) << c.what;
    EXPECT_TRUE(WaitForRemovals(++removals)) << c.what;
    EXPECT_EQ(reader.CurrentCard(), nullptr) << c.what;
    EXPECT_TRUE(vicc->WaitForClosedByPeer()) << c.what;
  }
}

TEST_F(ViccBridge, MessageViccSendsOfItsOwnAccordRemovesTheCard) {
  auto vicc = Insert(FakeVicc::CardWith(kT1Atr, Ok));
  vicc->Send(Framed({0x90, 0x00}));
  EXPECT_TRUE(WaitForRemovals(1));
  EXPECT_EQ(reader.CurrentCard(), nullptr);
}

TEST_F(ViccBridge, SilentViccGetsTheBoundThenTheCardIsRemoved) {
  ListenWithBound(kTestReplyBound);
  auto vicc = Insert(FakeVicc::CardWith(kT0Atr, [](const Bytes&) { return Bytes{}; }));
  ResetCard(kColdT0);
  // The T=0 card gives no answer: no reply frame, the host's own wait runs out.
  host.Write(BuildT0Frame(0x00, Bytes{0x00, 0x84, 0x00, 0x00, 0x08}), 0);
  EXPECT_EQ(host.Read(265, 0).kind, usb::InResult::Kind::NotReady);
  EXPECT_TRUE(WaitForRemovals(1));
  EXPECT_EQ(reader.CurrentCard(), nullptr);
  EXPECT_TRUE(vicc->WaitForClosedByPeer());
}

TEST_F(ViccBridge, ClosingListenerRemovesTheCardEvenDuringAnExchange) {
  // vicc never answers; the listener goes away while the reader waits.
  auto vicc = Insert(FakeVicc::CardWith(kT1Atr, [](const Bytes&) { return Bytes{}; }));
  ResetCard(kColdT1);
  std::thread driver([&] { host.Write(t1::BuildIBlock(0x52, 0, false, Bytes{0x00, 0x84, 0x00, 0x00, 0x08}), 0); });
  ASSERT_TRUE(vicc->WaitForMessages(3));
  listener.reset();
  driver.join();
  EXPECT_EQ(reader.CurrentCard(), nullptr);
  EXPECT_TRUE(vicc->WaitForClosedByPeer());
}

TEST_F(ViccBridge, NothingIsLeftBehind) {
  listener.reset();
  const std::size_t fds = Entries("/proc/self/fd");
  const std::size_t threads = Entries("/proc/self/task");
  for (int round = 0; round < 3; ++round) {
    listener = std::make_unique<ViccListener>(reader, 0, kEventBound);
    auto vicc = Insert(FakeVicc::CardWith(kT1Atr, Ok));
    ResetCard(kColdT1);
    EXPECT_EQ(T1Exchange(0, {0x00, 0x84, 0x00, 0x00}), t1::BuildIBlock(0x25, 0, false, Bytes{0x90, 0x00}));
    vicc->Close();
    ASSERT_TRUE(WaitForRemovals(1));
    auto next = Insert(FakeVicc::CardWith(kT1Atr, Ok));
    listener.reset();  // with a connection open
    EXPECT_TRUE(next->WaitForClosedByPeer());
  }
  EXPECT_EQ(reader.CurrentCard(), nullptr);
  EXPECT_LE(EntriesSettledTo("/proc/self/fd", fds), fds);
  EXPECT_LE(EntriesSettledTo("/proc/self/task", threads), threads);
}

}  // namespace
}  // namespace emu::test
