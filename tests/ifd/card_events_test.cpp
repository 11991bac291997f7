// Card events as pcscd's polling thread meets them: the wait with a time
// limit, a card going and coming, and the one-shot stop.
#include <chrono>
#include <future>

#include "ifd/handler.h"
#include "tests/ifd/ifd_fixture.h"

namespace ifdtest {
namespace {

using CardEventsTest = IfdTest;
using PollFunction = RESPONSECODE (*)(DWORD, int);
using StopFunction = RESPONSECODE (*)(DWORD);

// A bound on waits that should end within one 500 ms poll.
constexpr auto kBound = std::chrono::seconds(10);

PollFunction Poll(DWORD lun) {
  PollFunction poll = nullptr;
  DWORD length = sizeof poll;
  EXPECT_EQ(IFD_SUCCESS, IFDHGetCapabilities(lun, TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, &length,
                                             reinterpret_cast<PUCHAR>(&poll)));
  return poll;
}

StopFunction Stop(DWORD lun) {
  StopFunction stop = nullptr;
  DWORD length = sizeof stop;
  EXPECT_EQ(IFD_SUCCESS,
            IFDHGetCapabilities(lun, TAG_IFD_STOP_POLLING_THREAD, &length, reinterpret_cast<PUCHAR>(&stop)));
  return stop;
}

TEST_F(CardEventsTest, RemovalAndInsertionEndTheWait) {
  ASSERT_EQ(IFD_SUCCESS, Open(kLunA, "emulated:card=t1"));
  const PollFunction poll = Poll(kLunA);
  ASSERT_NE(nullptr, poll);
  EXPECT_EQ(IFD_ICC_PRESENT, IFDHICCPresence(kLunA));

  auto removal = std::async(std::launch::async, [&] { return poll(kLunA, 60000); });
  RemoveCard(kLunA);
  ASSERT_EQ(std::future_status::ready, removal.wait_for(kBound));
  EXPECT_EQ(IFD_SUCCESS, removal.get());
  EXPECT_EQ(IFD_ICC_NOT_PRESENT, IFDHICCPresence(kLunA));

  auto insertion = std::async(std::launch::async, [&] { return poll(kLunA, 60000); });
  InsertCard(kLunA, false);
  ASSERT_EQ(std::future_status::ready, insertion.wait_for(kBound));
  EXPECT_EQ(IFD_SUCCESS, insertion.get());
  EXPECT_EQ(IFD_ICC_PRESENT, IFDHICCPresence(kLunA));
  EXPECT_EQ(AtrOf(false), PowerUp(kLunA));
}

TEST_F(CardEventsTest, TheTimeLimitCancelsTheTrackingRequest) {
  ASSERT_EQ(IFD_SUCCESS, Open(kLunA, "emulated:card=none"));
  EXPECT_EQ(IFD_ICC_NOT_PRESENT, IFDHICCPresence(kLunA));
  auto waited = std::async(std::launch::async, [&] { return Poll(kLunA)(kLunA, 20); });
  ASSERT_EQ(std::future_status::ready, waited.wait_for(kBound));
  EXPECT_EQ(IFD_SUCCESS, waited.get());
  // The cancelled request is completed and gone; the next wait works.
  EXPECT_EQ(0u, RequestsInProgress());
  auto insertion = std::async(std::launch::async, [&] { return Poll(kLunA)(kLunA, 60000); });
  InsertCard(kLunA, true);
  ASSERT_EQ(std::future_status::ready, insertion.wait_for(kBound));
  EXPECT_EQ(IFD_ICC_PRESENT, IFDHICCPresence(kLunA));
}

TEST_F(CardEventsTest, StopWakesTheWaitOnce) {
  ASSERT_EQ(IFD_SUCCESS, Open(kLunA, "emulated:card=t1"));
  const PollFunction poll = Poll(kLunA);
  const StopFunction stop = Stop(kLunA);
  // A stop while nothing waits is kept for the next wait, once.
  EXPECT_EQ(IFD_SUCCESS, stop(kLunA));
  auto first = std::async(std::launch::async, [&] { return poll(kLunA, -1); });
  ASSERT_EQ(std::future_status::ready, first.wait_for(kBound));
  EXPECT_EQ(IFD_SUCCESS, first.get());
  // The next wait really waits, until a stop comes.
  auto second = std::async(std::launch::async, [&] { return poll(kLunA, -1); });
  EXPECT_EQ(std::future_status::timeout, second.wait_for(std::chrono::milliseconds(0)));
  // Stop until it lands on the waiting request (it may not have been sent yet).
  while (second.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) stop(kLunA);
  EXPECT_EQ(IFD_SUCCESS, second.get());
  EXPECT_EQ(IFD_ICC_PRESENT, IFDHICCPresence(kLunA));
}

TEST_F(CardEventsTest, CloseEndsAWaitInProgress) {
  ASSERT_EQ(IFD_SUCCESS, Open(kLunA, "emulated:card=t1"));
  const PollFunction poll = Poll(kLunA);
  auto waiting = std::async(std::launch::async, [&] { return poll(kLunA, -1); });
  Close(kLunA);
  ASSERT_EQ(std::future_status::ready, waiting.wait_for(kBound));
  const RESPONSECODE response = waiting.get();
  EXPECT_TRUE(response == IFD_SUCCESS || response == IFD_NO_SUCH_DEVICE) << response;
}

}  // namespace
}  // namespace ifdtest
