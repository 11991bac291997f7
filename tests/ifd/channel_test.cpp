// Channel life: open and close with nothing left behind, the capabilities
// pcscd asks for at start, two readers at once, refused device names, the
// control FIFO. (pcscd ending with exit() and a channel open is in
// tests/ifd/pcscd.)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include "tests/ifd/ifd_fixture.h"

namespace ifdtest {
namespace {

using ChannelTest = IfdTest;
namespace fs = std::filesystem;

// A capability as pcscd reads it; `response` what the handler answered.
Bytes Capability(DWORD lun, DWORD tag, RESPONSECODE* response = nullptr) {
  UCHAR value[256];
  DWORD length = sizeof value;
  const RESPONSECODE answered = IFDHGetCapabilities(lun, tag, &length, value);
  if (response) *response = answered;
  return answered == IFD_SUCCESS ? Bytes(value, value + length) : Bytes{};
}

TEST_F(ChannelTest, OpensWithTheCapabilitiesPcscdAsksForAndClosesWithNothingLeft) {
  ASSERT_EQ(IFD_SUCCESS, IFDHCreateChannel(kLunA, 0x3F8));  // the default reader: firmware 2.27, a T=1 card
  const struct {
    DWORD tag;
    Bytes value;
  } capabilities[] = {
      {TAG_IFD_SLOTS_NUMBER, {1}},
      {TAG_IFD_SIMULTANEOUS_ACCESS, {16}},
      {TAG_IFD_POLLING_THREAD_KILLABLE, {0}},  // pcscd must not cancel the thread inside the driver
      {SCARD_ATTR_VENDOR_NAME, {'Z', 'U', 'N', 'T', 'A', 0}},
      {SCARD_ATTR_VENDOR_IFD_TYPE, {'K', 'T', '2', '2', '1', '0', 'U', 'S', 'B', 0}},
      {SCARD_ATTR_VENDOR_IFD_VERSION, {0x00, 0x00, 0x27, 0x02}},  // 0xMMmm0000
      {SCARD_ATTR_MAXINPUT, {0x00, 0x04, 0x01, 0x00}},   // 0x10400 bytes
      {SCARD_ATTR_CHANNEL_ID, {0x00, 0x00, 0x20, 0x00}},  // 0x0020 USB in the high word
      {TAG_IFD_ATR, {}},  // none before the card is powered
  };
  for (const auto& c : capabilities) EXPECT_EQ(c.value, Capability(kLunA, c.tag)) << std::hex << c.tag;
  RESPONSECODE response = 0;
  Capability(kLunA, 0x7FFF7777, &response);
  EXPECT_EQ(IFD_ERROR_TAG, response);
  UCHAR one = 1;
  EXPECT_EQ(IFD_ERROR_TAG, IFDHSetCapabilities(kLunA, TAG_IFD_SLOTS_NUMBER, 1, &one));
  EXPECT_EQ(AtrOf(true), PowerUp(kLunA));
  EXPECT_EQ(AtrOf(true), Capability(kLunA, TAG_IFD_ATR));
  EXPECT_EQ(AtrOf(true), Capability(kLunA, SCARD_ATTR_ATR_STRING));

  EXPECT_EQ(IFD_SUCCESS, IFDHCloseChannel(kLunA));
  EXPECT_EQ(IFD_NO_SUCH_DEVICE, IFDHCloseChannel(kLunA));
  // Opened again after the driver was unloaded: a fresh load.
  ASSERT_EQ(IFD_SUCCESS, Open(kLunA, "emulated:card=none"));
  EXPECT_FALSE(HasCard(kLunA));
}

TEST_F(ChannelTest, TwoReadersEachWithItsOwnCard) {
  ASSERT_EQ(IFD_SUCCESS, Open(kLunA, "emulated:card=t1"));
  ASSERT_EQ(IFD_SUCCESS, Open(kLunB, "emulated:card=t0:firmware=2.27"));
  EXPECT_EQ(2u, ifd::OpenChannels());
  EXPECT_NE(Capability(kLunA, SCARD_ATTR_DEVICE_UNIT), Capability(kLunB, SCARD_ATTR_DEVICE_UNIT));
  // Closing one leaves the other working.
  Close(kLunA);
  EXPECT_EQ(IFD_NO_SUCH_DEVICE, IFDHICCPresence(kLunA));
  EXPECT_EQ(IFD_ICC_PRESENT, IFDHICCPresence(kLunB));
  EXPECT_EQ(AtrOf(false), PowerUp(kLunB));
  // Refused, leaving nothing open: a wrong name, slot 1 of a one-slot reader, a Lun open already, vicc's port taken.
  EXPECT_EQ(IFD_NO_SUCH_DEVICE, Open(kLunA, "emulated:colour=blue"));
  EXPECT_EQ(IFD_NO_SUCH_DEVICE, Open(kLunA | 1, "emulated"));
  EXPECT_EQ(IFD_COMMUNICATION_ERROR, IFDHCreateChannelByName(kLunB, const_cast<char*>("emulated")));
  const std::string vicc = "emulated:card=vicc:vicc-port=" + std::to_string(FreeTcpPort());
  ASSERT_EQ(IFD_SUCCESS, Open(kLunA, vicc.c_str()));
  EXPECT_EQ(IFD_ICC_NOT_PRESENT, IFDHICCPresence(kLunA)) << "no card until vicc connects";
  EXPECT_NE(IFD_SUCCESS, Open(0x20000, vicc.c_str()));
  EXPECT_EQ(2u, ifd::OpenChannels());
}

bool WaitUntil(const std::function<bool()>& done) {
  const auto limit = std::chrono::steady_clock::now() + kBound;
  while (!done() && std::chrono::steady_clock::now() < limit) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return done();
}

// No thread of the process but the test's own is running: each waits in a
// blocking call. A thread that spins never is in that state.
bool OthersAsleep() {
  for (const auto& task : fs::directory_iterator("/proc/self/task")) {
    if (task.path().filename() == std::to_string(getpid())) continue;
    std::string stat;
    std::getline(std::ifstream(task.path() / "stat"), stat);
    if (stat.compare(std::min(stat.rfind(')'), stat.size()), 3, ") R") == 0) return false;  // the state follows the name
  }
  return true;
}

TEST_F(ChannelTest, TheControlPathIsAFifoNeverALinkAndWaitsAsleep) {
  char dirTemplate[] = "/tmp/ifd-control.XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dirTemplate));
  const fs::path dir = dirTemplate;
  std::ofstream(dir / "file") << "remove\n";
  ASSERT_EQ(0, mkfifo((dir / "elsewhere").c_str(), 0600));
  fs::create_symlink(dir / "elsewhere", dir / "link");
  // Each reader works; only B's FIFO, created by the handler, is listened to.
  ASSERT_EQ(IFD_SUCCESS, Open(kLunA, ("emulated:control=" + (dir / "file").string()).c_str()));
  ASSERT_EQ(IFD_SUCCESS, Open(kLunB, ("emulated:control=" + (dir / "fifo").string()).c_str()));
  ASSERT_EQ(IFD_SUCCESS, Open(0x20000, ("emulated:control=" + (dir / "link").string()).c_str()));
  // A FIFO nobody reads refuses a writer that will not wait (ENXIO).
  EXPECT_EQ(-1, open((dir / "elsewhere").c_str(), O_WRONLY | O_NONBLOCK)) << "a link in the FIFO's place is followed";
  EXPECT_EQ(ENXIO, errno);

  // A writer that goes leaves the FIFO at end of file: the listener then
  // waits for the next one, asleep, rather than spinning on the end of file.
  std::ofstream(dir / "fifo") << "remove\n";
  ASSERT_TRUE(WaitUntil([] { return !HasCard(kLunB); }));
  EXPECT_TRUE(WaitUntil(OthersAsleep)) << "a thread of the handler keeps running while nothing happens";
  std::ofstream(dir / "fifo") << "insert t0\n";
  EXPECT_TRUE(WaitUntil([] { return HasCard(kLunB); }));
  Close(kLunB);
  EXPECT_FALSE(fs::exists(dir / "fifo")) << "the FIFO the handler made goes with its reader";
  // Long after A's control path was opened: its "remove" was never read.
  EXPECT_TRUE(HasCard(kLunA) && HasCard(0x20000)) << "a regular file is read as the FIFO";
  // A capture that cannot be written is logged, and the reader works without it.
  ASSERT_EQ(IFD_SUCCESS, Open(0x30000, ("emulated:pcap=" + (dir / "none" / "r.pcapng").string()).c_str()));
  EXPECT_TRUE(HasCard(0x30000));
  fs::remove_all(dir);
}

// The registry is not locked while a reader starts: calls on the other
// readers are answered meanwhile, not held for the length of a start.
TEST_F(ChannelTest, AReaderThatStartsDoesNotHoldUpTheOthers) {
  ASSERT_EQ(IFD_SUCCESS, Open(kLunA, "emulated"));
  ASSERT_EQ(IFD_ICC_PRESENT, IFDHICCPresence(kLunA));  // past the first poll
  const auto began = std::chrono::steady_clock::now();
  auto start = std::async(std::launch::async, [&] { return Open(kLunB, "emulated"); });
  const auto starting = [&] { return start.wait_for(std::chrono::seconds(0)) != std::future_status::ready; };
  int answeredWhileStarting = 0;  // calls made once B's start surely holds what it holds
  while (starting()) {
    const bool late = std::chrono::steady_clock::now() > began + std::chrono::milliseconds(10);
    EXPECT_EQ(IFD_ICC_PRESENT, IFDHICCPresence(kLunA));
    answeredWhileStarting += late && starting();
  }
  EXPECT_EQ(IFD_SUCCESS, start.get());
  EXPECT_GT(answeredWhileStarting, 0) << "no call on A was answered while B started";
}

}  // namespace
}  // namespace ifdtest
