// readerctl's card=vicc: a script session in real time whose reader listens
// for vicc; a fake vicc connects and is the card the driver powers and
// talks T=1 to, through the whole host side.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <sstream>

#include "emulator/vicc/socket_io.h"
#include "host/script_session.h"
#include "tests/emulator/card/card_test_helpers.h"
#include "tests/emulator/vicc/fake_vicc.h"

namespace emu::test {
namespace {

// A port that was free a moment ago.
std::uint16_t FreePort() {
  vicc::UniqueFd probe(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (bind(probe.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 ||
      getsockname(probe.Get(), reinterpret_cast<sockaddr*>(&address), &size) < 0) {
    return 0;
  }
  return ntohs(address.sin_port);
}

TEST(ReaderctlVicc, ViccIsTheCardWhileItStaysConnected) {
  std::ostringstream out;
  std::ostringstream trace;
  host::ScriptSession session{host::SessionOptions{kernel::ClockMode::Real, false}, out, trace};
  std::size_t line = 0;
  const auto Run = [&](const char* text) { return session.Run(text, ++line); };
  const std::uint16_t port = FreePort();
  ASSERT_NE(port, 0);
  const std::string reader = "reader card=vicc port=" + std::to_string(port);
  for (const char* command : {reader.c_str(), "plug", "open", "state"}) {
    ASSERT_TRUE(Run(command)) << session.Error();
  }

  FakeVicc vicc(port, FakeVicc::CardWith(Hex("3B 80 81 31 FE 45 8B"), [](const Bytes& apdu) {
                  return apdu[1] == 0x84 ? Framed({0x01, 0x02, 0x03, 0x04, 0x90, 0x00}) : Framed({0x6D, 0x00});
                }));
  ASSERT_TRUE(vicc.Connected());
  for (const char* command : {"track present timeout=10000", "power cold", "protocol t1", "apdu 0084000004"}) {
    ASSERT_TRUE(Run(command)) << session.Error();
  }
  vicc.Close();
  ASSERT_TRUE(Run("track absent timeout=10000")) << session.Error();
  ASSERT_TRUE(session.Finish()) << session.Error();

  // SCARD_ABSENT (1) before vicc, the ATR, T=1, the APDU's answer behind the
  // resource manager's protocol header (T=1, 8 bytes).
  EXPECT_EQ(out.str(), reader + R"( -> OK
plug -> STATUS_SUCCESS 0x00000000
open -> STATUS_SUCCESS 0x00000000
state -> STATUS_SUCCESS 0x00000000 01000000
track present timeout=10000 -> STATUS_SUCCESS 0x00000000
power cold -> STATUS_SUCCESS 0x00000000 3B808131FE458B
protocol t1 -> STATUS_SUCCESS 0x00000000 02000000
apdu 0084000004 -> STATUS_SUCCESS 0x00000000 0200000008000000010203049000
track absent timeout=10000 -> STATUS_SUCCESS 0x00000000
)");
  const std::vector<Bytes> messages = vicc.Messages();
  ASSERT_GE(messages.size(), 3u);
  EXPECT_EQ(messages[0], (Bytes{0x00, 0x01, 0x04}));
  EXPECT_EQ(messages.back(), (Bytes{0x00, 0x05, 0x00, 0x84, 0x00, 0x00, 0x04}));
}

}  // namespace
}  // namespace emu::test
