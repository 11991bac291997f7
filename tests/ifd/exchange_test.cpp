// Power, transmit, control and the wait of pcscd's polling thread through
// the entry points, checked against what the emulated reader and card saw:
// the time limit, the one-shot stop, and a close during a wait. (Exchanges
// on both protocols, card events seen by pcscd and vicc as the card run in
// tests/ifd/pcscd.)
#include <future>

#include "tests/ifd/ifd_fixture.h"

namespace ifdtest {
namespace {

using ExchangeTest = IfdTest;

// (Power-up and reset reach the card through pcscd's connect and reconnect
// in tests/ifd/pcscd.)
TEST_F(ExchangeTest, PowerDownAndAMissingCardGiveNoAtr) {
  ASSERT_EQ(IFD_SUCCESS, Open(kLunA, "emulated:card=t1"));
  EXPECT_EQ(AtrOf(true), PowerUp(kLunA));
  UCHAR atr[MAX_ATR_SIZE];
  DWORD length = 0;
  const auto room = [&] { return &(length = sizeof atr); };
  ASSERT_EQ(IFD_SUCCESS, IFDHPowerICC(kLunA, IFD_POWER_DOWN, atr, room()));
  EXPECT_EQ(0u, length);
  RemoveCard(kLunA);
  EXPECT_EQ(IFD_ICC_NOT_PRESENT, IFDHPowerICC(kLunA, IFD_POWER_UP, atr, room()));
  EXPECT_EQ(0u, length);
}

// The T number chooses the reader's frame; an answer too long for the
// caller's buffer is refused. (The largest command and response cross pcscd
// whole in tests/ifd/pcscd.)
TEST_F(ExchangeTest, EachProtocolGoesOutInItsFrame) {
  ASSERT_EQ(IFD_SUCCESS, Open(kLunA, "emulated:card=t1"));
  PowerUp(kLunA);
  ASSERT_EQ(IFD_SUCCESS, IFDHSetProtocolParameters(kLunA, SCARD_PROTOCOL_T1, 0, 0, 0, 0));
  RESPONSECODE response = 0;
  EXPECT_TRUE(Transmit(kLunA, 1, kChallenge, &response, 9).empty());
  EXPECT_EQ(IFD_ERROR_INSUFFICIENT_BUFFER, response);

  ASSERT_EQ(IFD_SUCCESS, Open(kLunB, "emulated:card=t0"));
  PowerUp(kLunB);
  ASSERT_EQ(IFD_SUCCESS, IFDHSetProtocolParameters(kLunB, SCARD_PROTOCOL_T0, 0, 0, 0, 0));
  EXPECT_EQ(10u, Transmit(kLunB, 0, kChallenge, &response).size());
  EXPECT_TRUE(ReaderReceived(kLunB, {0x52, 0x00, 0x00, 0x05, 0x00, 0x84, 0x00, 0x00, 0x08, 0xDB}));
}

TEST_F(ExchangeTest, ControlCodesReachTheVendorCodes) {
  ASSERT_EQ(IFD_SUCCESS, Open(kLunA, "emulated:firmware=2.27"));
  UCHAR out[64];
  DWORD returned = 0;
  // (The version block itself crosses pcscd in tests/ifd/pcscd.)
  UCHAR parameter = 0x05;
  ASSERT_EQ(IFD_SUCCESS, IFDHControl(kLunA, SCARD_CTL_CODE(2055), &parameter, 1, out, sizeof out, &returned));
  EXPECT_EQ(0x05, CommandB0Parameter(kLunA));
  // The driver's own refusal: the version block needs 8 bytes.
  EXPECT_EQ(IFD_COMMUNICATION_ERROR, IFDHControl(kLunA, SCARD_CTL_CODE(2053), nullptr, 0, out, 7, &returned));
  EXPECT_EQ(0u, returned);
  returned = 99;  // the feature list is empty and well-formed
  ASSERT_EQ(IFD_SUCCESS, IFDHControl(kLunA, CM_IOCTL_GET_FEATURE_REQUEST, nullptr, 0, out, sizeof out, &returned));
  EXPECT_EQ(0u, returned);
  for (DWORD code : {DWORD{SCARD_CTL_CODE(2048)}, DWORD{SCARD_CTL_CODE(2057)}, DWORD{0x312014}}) {
    EXPECT_EQ(IFD_ERROR_NOT_SUPPORTED, IFDHControl(kLunA, code, nullptr, 0, out, sizeof out, &returned)) << code;
    EXPECT_EQ(0u, returned);
  }
}

// The wait of pcscd's polling thread, ended by what `act` does.
RESPONSECODE WaitThrough(PollFunction poll, int timeout, const std::function<void()>& act) {
  auto waited = std::async(std::launch::async, [&] { return poll(kLunA, timeout); });
  act();
  EXPECT_EQ(std::future_status::ready, waited.wait_for(kBound));
  return waited.get();
}

// The time limit cancels the tracking request, which is then gone. (A card
// going and coming ends the wait in tests/ifd/pcscd.)
TEST_F(ExchangeTest, TheTimeLimitEndsTheWaitAndItsRequest) {
  ASSERT_EQ(IFD_SUCCESS, Open(kLunA, "emulated:card=t1"));
  EXPECT_EQ(IFD_SUCCESS, WaitThrough(Get(kLunA), 20, [] {}));
  EXPECT_EQ(0u, RequestsInProgress());
}

TEST_F(ExchangeTest, StopWakesTheWaitOnceAndCloseEndsIt) {
  ASSERT_EQ(IFD_SUCCESS, Open(kLunA, "emulated:card=t1"));
  const PollFunction poll = Get(kLunA);
  const StopFunction stop = Get<StopFunction>(kLunA, TAG_IFD_STOP_POLLING_THREAD);
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

}  // namespace
}  // namespace ifdtest
