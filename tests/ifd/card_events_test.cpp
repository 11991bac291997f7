// Card events as pcscd's polling thread meets them: the wait with a time
// limit, a card going and coming (a built-in card, or vicc's connection),
// the one-shot stop, and a close during a wait.
#include <algorithm>
#include <future>
#include <string>

#include "ifd/handler.h"
#include "tests/emulator/vicc/fake_vicc.h"
#include "tests/ifd/ifd_fixture.h"

namespace ifdtest {
namespace {

using CardEventsTest = IfdTest;

// The wait of pcscd's polling thread, ended by what `act` does.
RESPONSECODE WaitThrough(PollFunction poll, int timeout, const std::function<void()>& act) {
  auto waited = std::async(std::launch::async, [&] { return poll(kLunA, timeout); });
  act();
  EXPECT_EQ(std::future_status::ready, waited.wait_for(kBound));
  return waited.get();
}

TEST_F(CardEventsTest, RemovalInsertionAndTheTimeLimitEndTheWait) {
  ASSERT_EQ(IFD_SUCCESS, Open(kLunA, "emulated:card=t1"));
  const PollFunction poll = Poll(kLunA);
  EXPECT_EQ(IFD_ICC_PRESENT, IFDHICCPresence(kLunA));
  EXPECT_EQ(IFD_SUCCESS, WaitThrough(poll, 60000, [] { RemoveCard(kLunA); }));
  EXPECT_EQ(IFD_ICC_NOT_PRESENT, IFDHICCPresence(kLunA));
  // The time limit cancels the tracking request, which is then gone.
  EXPECT_EQ(IFD_SUCCESS, WaitThrough(poll, 20, [] {}));
  EXPECT_EQ(0u, RequestsInProgress());
  EXPECT_EQ(IFD_SUCCESS, WaitThrough(poll, 60000, [] { InsertCard(kLunA, false); }));
  EXPECT_EQ(IFD_ICC_PRESENT, IFDHICCPresence(kLunA));
  EXPECT_EQ(AtrOf(false), PowerUp(kLunA));
}

TEST_F(CardEventsTest, StopWakesTheWaitOnceAndCloseEndsIt) {
  ASSERT_EQ(IFD_SUCCESS, Open(kLunA, "emulated:card=t1"));
  const PollFunction poll = Poll(kLunA);
  const StopFunction stop = Stop(kLunA);
  // A stop while nothing waits is kept for the next wait, once.
  EXPECT_EQ(IFD_SUCCESS, stop(kLunA));
  EXPECT_EQ(IFD_SUCCESS, WaitThrough(poll, -1, [] {}));
  // The next wait really waits, until a stop lands on it (it may not have been sent yet).
  auto second = std::async(std::launch::async, [&] { return poll(kLunA, -1); });
  EXPECT_EQ(std::future_status::timeout, second.wait_for(std::chrono::milliseconds(0)));
  while (second.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) stop(kLunA);
  EXPECT_EQ(IFD_SUCCESS, second.get());
  auto waiting = std::async(std::launch::async, [&] { return poll(kLunA, -1); });
  Close(kLunA);
  ASSERT_EQ(std::future_status::ready, waiting.wait_for(kBound));
  const RESPONSECODE response = waiting.get();
  EXPECT_TRUE(response == IFD_SUCCESS || response == IFD_NO_SUCH_DEVICE) << response;
}

// card=vicc: vicc's connection (here a stand-in speaking its protocol) is the
// card; its APDUs reach vicc whole, and vicc leaving is the card's removal.
TEST_F(CardEventsTest, ViccConnectingIsTheCardAndLeavingItsRemoval) {
  const std::uint16_t port = FreeTcpPort();
  const std::string name = "emulated:card=vicc:vicc-port=" + std::to_string(port);
  ASSERT_EQ(IFD_SUCCESS, Open(kLunA, name.c_str()));
  EXPECT_NE(IFD_SUCCESS, Open(kLunB, name.c_str())) << "a port already taken";
  EXPECT_EQ(IFD_ICC_NOT_PRESENT, IFDHICCPresence(kLunA));
  const PollFunction poll = Poll(kLunA);
  const Bytes answer = {1, 2, 3, 4, 5, 6, 7, 8, 0x90, 0x00};
  std::unique_ptr<emu::test::FakeVicc> vicc;
  EXPECT_EQ(IFD_SUCCESS, WaitThrough(poll, 60000, [&] {
              vicc = std::make_unique<emu::test::FakeVicc>(
                  port,
                  emu::test::FakeVicc::CardWith(AtrOf(true), [&](const Bytes& apdu) {
                    return emu::test::Framed(apdu == kChallenge ? answer : Bytes{0x6D, 0x00});
                  }));
            }));
  EXPECT_EQ(AtrOf(true), PowerUp(kLunA));
  ASSERT_EQ(IFD_SUCCESS, IFDHSetProtocolParameters(kLunA, SCARD_PROTOCOL_T1, 0, 0, 0, 0));
  RESPONSECODE response = 0;
  EXPECT_EQ(answer, Transmit(kLunA, 1, kChallenge, &response));
  const std::vector<Bytes> messages = vicc->Messages();
  EXPECT_NE(messages.end(), std::find(messages.begin(), messages.end(), emu::test::Framed(kChallenge)));
  EXPECT_EQ(IFD_SUCCESS, WaitThrough(poll, 60000, [&] { vicc.reset(); }));
  EXPECT_EQ(IFD_ICC_NOT_PRESENT, IFDHICCPresence(kLunA));
}

}  // namespace
}  // namespace ifdtest
