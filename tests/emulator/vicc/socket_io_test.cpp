// The bridge's socket primitives: one write per message, TCP_NODELAY, and
// what a message read makes of closed, silent and malformed peers.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "emulator/vicc/socket_io.h"
#include "emulator/vicc/vicc_protocol.h"

namespace emu::test {
namespace {

using namespace std::chrono_literals;
using vicc::Clock;
using vicc::UniqueFd;

struct Pair {
  UniqueFd near;
  UniqueFd far;
};

Pair MakePair(int type) {
  int fds[2] = {-1, -1};
  EXPECT_EQ(socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, fds), 0);
  Pair pair{UniqueFd(fds[0]), UniqueFd(fds[1])};
  EXPECT_TRUE(vicc::PrepareConnection(pair.near.Get()));
  return pair;
}

TEST(ViccSocket, MessageLeavesInOneWrite) {
  // A record socket keeps write boundaries: one record is one write.
  Pair pair = MakePair(SOCK_SEQPACKET);
  const Bytes message = vicc::FrameMessage(Bytes{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00});
  ASSERT_TRUE(vicc::SendAll(pair.near.Get(), message, Clock::now() + 1s));
  std::uint8_t record[64];
  const ssize_t n = recv(pair.far.Get(), record, sizeof record, MSG_DONTWAIT);
  ASSERT_EQ(n, static_cast<ssize_t>(message.size()));
  EXPECT_EQ(Bytes(record, record + n), message);
  EXPECT_LT(recv(pair.far.Get(), record, sizeof record, MSG_DONTWAIT), 0);
}

TEST(ViccSocket, TcpConnectionsGetNoDelay) {
  UniqueFd tcp(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_TRUE(tcp);
  ASSERT_TRUE(vicc::PrepareConnection(tcp.Get()));
  int value = 0;
  socklen_t size = sizeof value;
  ASSERT_EQ(getsockopt(tcp.Get(), IPPROTO_TCP, TCP_NODELAY, &value, &size), 0);
  EXPECT_NE(value, 0);
}

TEST(ViccSocket, ReceiveReadsOneMessageAndTellsFaultsApart) {
  Pair pair = MakePair(SOCK_STREAM);
  const auto deadline = [] { return Clock::now() + 1s; };
  auto put = [&](const Bytes& bytes) { ASSERT_EQ(write(pair.far.Get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size())); };

  put({0x00, 0x02, 0x90, 0x00, 0x00, 0x01});  // one message and the start of the next
  vicc::Received one = vicc::ReceiveMessage(pair.near.Get(), deadline());
  EXPECT_EQ(one.status, vicc::ReceiveStatus::Ok);
  EXPECT_EQ(one.payload, (Bytes{0x90, 0x00}));
  put({0x3B});  // the rest of it arrives later
  vicc::Received two = vicc::ReceiveMessage(pair.near.Get(), deadline());
  EXPECT_EQ(two.status, vicc::ReceiveStatus::Ok);
  EXPECT_EQ(two.payload, (Bytes{0x3B}));

  put({0x00, 0x00});
  EXPECT_EQ(vicc::ReceiveMessage(pair.near.Get(), deadline()).status, vicc::ReceiveStatus::Malformed);

  // A silent peer: the read gives up at the deadline (a short one here).
  EXPECT_EQ(vicc::ReceiveMessage(pair.near.Get(), Clock::now() + 20ms).status, vicc::ReceiveStatus::TimedOut);

  // Length 10, three bytes, then the peer closes.
  put({0x00, 0x0A, 0x01, 0x02, 0x03});
  pair.far.Reset();
  const vicc::Received cut = vicc::ReceiveMessage(pair.near.Get(), deadline());
  EXPECT_EQ(cut.status, vicc::ReceiveStatus::Closed);
  EXPECT_TRUE(cut.payload.empty());
  EXPECT_FALSE(vicc::SendAll(pair.near.Get(), Bytes{0x00, 0x01, 0x00}, deadline()));
}

}  // namespace
}  // namespace emu::test
