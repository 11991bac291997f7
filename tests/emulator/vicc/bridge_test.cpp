// The bridge to vicc on the reader's side: the messages vicc receives byte
// for byte, peers that break the protocol, and the listener's own end.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "emulator/vicc/socket_io.h"
#include "emulator/vicc/vicc_listener.h"
#include "emulator/vicc/vicc_protocol.h"
#include "tests/emulator/reader/reader_harness.h"

namespace emu::test {
namespace {

// A stand-in for vicc on the other end of the bridge's socket: it connects
// to the listener, records every message it receives byte for byte (length
// prefix included) and sends back whatever its answer function returns, as
// raw bytes so that a test can also send malformed ones.
constexpr std::chrono::milliseconds kEventBound = std::chrono::seconds(5);

class FakeVicc {
 public:
  // Gets a message's payload; returns the raw bytes to send back (nothing when empty).
  using Answer = std::function<Bytes(const Bytes& payload)>;

  // Answers the ATR request with `atr`, power and reset requests with nothing, and every APDU with `answer`.
  static Answer CardWith(const Bytes& atr, std::function<Bytes(const Bytes& apdu)> answer) {
    return [atr, answer](const Bytes& payload) {
      return payload == Bytes{0x04} ? vicc::FrameMessage(atr) : payload.size() == 1 ? Bytes{} : answer(payload);
    };
  }

  FakeVicc(std::uint16_t port, Answer answer) : answer_(std::move(answer)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(0, connect(fd_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address));
    thread_ = std::thread([this] { Run(); });
  }
  ~FakeVicc() { Close(); }

  // Closes the connection, as vicc does when it stops.
  void Close() {
    shutdown(fd_.Get(), SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    fd_.Reset();
  }
  // Every message received, length prefix and payload, once there are `count` (or at the bound).
  std::vector<Bytes> Messages(std::size_t count) const {
    std::unique_lock lock(mu_);
    changed_.wait_for(lock, kEventBound, [&] { return messages_.size() >= count; });
    return messages_;
  }

 private:
  void Run() {
    const auto read = [this](std::uint8_t* out, std::size_t size) {
      return size == 0 || recv(fd_.Get(), out, size, MSG_WAITALL) == static_cast<ssize_t>(size);
    };
    for (Bytes message(2); read(message.data(), 2); message.resize(2)) {
      message.resize(2 + ((std::size_t{message[0]} << 8) | message[1]));
      if (!read(message.data() + 2, message.size() - 2)) break;
      {
        std::lock_guard lock(mu_);
        messages_.push_back(message);
      }
      changed_.notify_all();
      const Bytes reply = answer_(Bytes(message.begin() + 2, message.end()));
      if (!reply.empty()) send(fd_.Get(), reply.data(), reply.size(), MSG_NOSIGNAL);
    }
  }

  Answer answer_;
  vicc::UniqueFd fd_{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  mutable std::mutex mu_;
  mutable std::condition_variable changed_;
  std::vector<Bytes> messages_;
  std::thread thread_;
};

// T=1 only: TD1 81 and TD2 31 name T=1, TA3 FE is the IFSC, TB3 45; TCK 8B.
const Bytes kT1Atr = Hex("3B 80 81 31 FE 45 8B");
const Bytes kColdResetT1 = Hex("12 00 03 01 D1 01 C0");
const Bytes kGetChallengeI0 = Hex("52 00 05 00 84 00 00 04 D7");

class ViccBridge : public ::testing::Test {
 protected:
  Reader reader{InstantConfig()};
  Host host{reader};
  std::unique_ptr<ViccListener> listener = std::make_unique<ViccListener>(reader, 0, kEventBound);

  bool Reaches(std::uint32_t ViccStats::*counter, std::uint32_t count) {
    return listener->WaitFor([&](const ViccStats& s) { return s.*counter >= count; }, kEventBound);
  }
};

TEST_F(ViccBridge, ControlsAndApdusReachViccInLengthPrefixedMessages) {
  const Bytes framed = vicc::FrameMessage(Bytes(0x1234, 0xAB));
  EXPECT_EQ(Bytes(framed.begin(), framed.begin() + 3), Hex("12 34 AB"));
  FakeVicc vicc(listener->Port(),
                FakeVicc::CardWith(kT1Atr, [](const Bytes&) { return Hex("00 06 11 22 33 44 90 00"); }));
  ASSERT_TRUE(Reaches(&ViccStats::insertions, 1));
  EXPECT_EQ(reader.CurrentCard()->T1Ifsc(), 0xFE);
  host.Exchange(kColdResetT1);
  EXPECT_EQ(host.Exchange(kGetChallengeI0), Hex("25 00 06 11 22 33 44 90 00 F7"));
  host.Exchange(Hex("12 00 03 01 D1 03 C2"));  // warm reset
  host.Exchange(Hex("12 00 02 00 F5 E5"));     // the firmware restart powers the card down
  const std::vector<Bytes> expected = {
      Hex("00 01 04"),              // ATR request on connection
      Hex("00 01 01"),              // power on
      Hex("00 05 00 84 00 00 04"),  // the APDU
      Hex("00 01 02"),              // reset
      Hex("00 01 00"),              // power off
  };
  EXPECT_EQ(vicc.Messages(5), expected);
  vicc.Close();
  ASSERT_TRUE(Reaches(&ViccStats::removals, 1));
  EXPECT_EQ(reader.CurrentCard(), nullptr);
}

TEST_F(ViccBridge, APeerThatBreaksTheProtocolIsNoCard) {
  const struct {
    const char* note;
    Bytes atr;     // vicc's whole answer to the ATR request
    Bytes answer;  // and to the APDU (none: the ATR is refused)
  } rows[] = {
      {"ATR in a message of length 0", Hex("00 00"), {}},
      {"ATR of 34 bytes", vicc::FrameMessage(Bytes(34, 0x3B)), {}},
      {"answer in a message of length 0", vicc::FrameMessage(kT1Atr), Hex("00 00")},
      {"answer of one byte", vicc::FrameMessage(kT1Atr), Hex("00 01 90")},
  };
  std::uint32_t refused = 0;
  std::uint32_t removals = 0;
  for (const auto& row : rows) {
    FakeVicc vicc(listener->Port(), [&](const Bytes& payload) {
      return payload == Bytes{0x04} ? row.atr : payload.size() == 1 ? Bytes{} : row.answer;
    });
    if (row.answer.empty()) {
      EXPECT_TRUE(Reaches(&ViccStats::refused, ++refused)) << row.note;
      EXPECT_EQ(reader.CurrentCard(), nullptr) << row.note;
      continue;
    }
    ASSERT_TRUE(Reaches(&ViccStats::insertions, removals + 1)) << row.note;
    host.Exchange(kColdResetT1);
    host.Write(kGetChallengeI0, 0);
    EXPECT_EQ(host.Seen(0), "nak") << row.note;  // the card stays mute
    EXPECT_TRUE(Reaches(&ViccStats::removals, ++removals)) << row.note;
    EXPECT_EQ(reader.CurrentCard(), nullptr) << row.note;
  }
}

// vicc never answers; the listener goes away while the reader waits for it.
TEST_F(ViccBridge, ClosingTheListenerDuringAnExchangeRemovesTheCardAndLeavesNoDescriptor) {
  const auto descriptors = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
  listener.reset();
  const auto before = descriptors();
  listener = std::make_unique<ViccListener>(reader, 0, kEventBound);
  FakeVicc vicc(listener->Port(), FakeVicc::CardWith(kT1Atr, [](const Bytes&) { return Bytes{}; }));
  ASSERT_TRUE(Reaches(&ViccStats::insertions, 1));
  host.Exchange(kColdResetT1);
  std::thread driver([&] { host.Write(kGetChallengeI0, 0); });
  ASSERT_EQ(vicc.Messages(3).size(), 3u);
  listener.reset();
  driver.join();
  EXPECT_EQ(reader.CurrentCard(), nullptr);
  vicc.Close();
  EXPECT_LE(descriptors(), before);  // a leak is a descriptor more
}

}  // namespace
}  // namespace emu::test
