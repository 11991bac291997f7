// card=vicc: the connection of a vicc (here a stand-in speaking its
// protocol) is the card. pcscd's view: no card, then a card with vicc's ATR
// whose APDUs reach vicc, then no card again once vicc goes.
#include <chrono>
#include <future>
#include <string>

#include "tests/ifd/ifd_fixture.h"
#include "tests/emulator/vicc/fake_vicc.h"

namespace ifdtest {
namespace {

using ViccCardTest = IfdTest;
using PollFunction = RESPONSECODE (*)(DWORD, int);

constexpr auto kBound = std::chrono::seconds(10);
const Bytes kChallenge = {0x00, 0x84, 0x00, 0x00, 0x08};
const Bytes kChallengeAnswer = {1, 2, 3, 4, 5, 6, 7, 8, 0x90, 0x00};

PollFunction Poll(DWORD lun) {
  PollFunction poll = nullptr;
  DWORD length = sizeof poll;
  EXPECT_EQ(IFD_SUCCESS, IFDHGetCapabilities(lun, TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, &length,
                                             reinterpret_cast<PUCHAR>(&poll)));
  return poll;
}

TEST_F(ViccCardTest, ViccConnectingIsTheCardAndLeavingItsRemoval) {
  const std::uint16_t port = FreeTcpPort();
  ASSERT_NE(0, port);
  const std::string name = "emulated:card=vicc:vicc-port=" + std::to_string(port);
  ASSERT_EQ(IFD_SUCCESS, Open(kLunA, name.c_str()));
  EXPECT_EQ(IFD_ICC_NOT_PRESENT, IFDHICCPresence(kLunA));
  const PollFunction poll = Poll(kLunA);

  const Bytes atr = AtrOf(true);
  auto insertion = std::async(std::launch::async, [&] { return poll(kLunA, 60000); });
  {
    emu::test::FakeVicc vicc(port, emu::test::FakeVicc::CardWith(atr, [](const Bytes& apdu) {
      return emu::test::Framed(apdu == kChallenge ? kChallengeAnswer : Bytes{0x6D, 0x00});
    }));
    ASSERT_TRUE(vicc.Connected());
    ASSERT_EQ(std::future_status::ready, insertion.wait_for(kBound));
    EXPECT_EQ(IFD_SUCCESS, insertion.get());
    EXPECT_EQ(IFD_ICC_PRESENT, IFDHICCPresence(kLunA));
    EXPECT_EQ(atr, PowerUp(kLunA));
    ASSERT_EQ(IFD_SUCCESS, IFDHSetProtocolParameters(kLunA, SCARD_PROTOCOL_T1, 0, 0, 0, 0));
    RESPONSECODE response = 0;
    EXPECT_EQ(kChallengeAnswer, Transmit(kLunA, 1, kChallenge, &response));
    EXPECT_EQ(IFD_SUCCESS, response);
    // The APDU reached vicc whole, in one message.
    const std::vector<Bytes> messages = vicc.Messages();
    bool seen = false;
    for (const Bytes& message : messages) seen = seen || message == emu::test::Framed(kChallenge);
    EXPECT_TRUE(seen);
  }
  // vicc went: the card is gone.
  auto removal = std::async(std::launch::async, [&] { return poll(kLunA, 60000); });
  ASSERT_EQ(std::future_status::ready, removal.wait_for(kBound));
  EXPECT_EQ(IFD_SUCCESS, removal.get());
  EXPECT_EQ(IFD_ICC_NOT_PRESENT, IFDHICCPresence(kLunA));
}

TEST_F(ViccCardTest, APortThatCannotBeHadRefusesTheReader) {
  const std::uint16_t port = FreeTcpPort();
  const std::string name = "emulated:card=vicc:vicc-port=" + std::to_string(port);
  ASSERT_EQ(IFD_SUCCESS, Open(kLunA, name.c_str()));
  // The same port again for a second reader: already taken.
  EXPECT_NE(IFD_SUCCESS, Open(kLunB, name.c_str()));
  EXPECT_EQ(IFD_NO_SUCH_DEVICE, IFDHICCPresence(kLunB));
  EXPECT_EQ(IFD_ICC_NOT_PRESENT, IFDHICCPresence(kLunA));
}

}  // namespace
}  // namespace ifdtest
