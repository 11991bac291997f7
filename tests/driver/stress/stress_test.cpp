// Several applications at once on one reader while its card comes and goes
// and the system sleeps and resumes: transmits, vendor codes, resets and
// card tracking with cancellation, a bounded number of operations from a
// fixed seed, in simulated time. Afterwards every request has completed
// once with a status an application can act on, nothing is left allocated
// or pending, and the reader still carries a transmit.
#include <gtest/gtest.h>

#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "driver/reader/vendor_ioctl.h"
#include "tests/fixture/driver_session.h"

namespace {

using kernel::kMillisecond;
using readertest::Bytes;
using readertest::T1Card;
using readertest::Ulong;

constexpr int kApplications = 4;
constexpr int kOperationsPerApplication = 300;
constexpr int kWorldEvents = 80;
constexpr std::uint32_t kSeed = 2210;

// SELECT MF (00 A4 00 00 02 3F00) as a T=1 transmit request.
const Bytes kTransmitSelectMf = readertest::TransmitRequest(SCARD_PROTOCOL_T1, Bytes{0x00, 0xA4, 0, 0, 0x02, 0x3F, 0});

// What the applications saw, by request and status.
struct Tally {
  // `wellFormed`: what came back has the form its request promises.
  void Add(const char* request, NTSTATUS status, bool wellFormed = true) {
    char text[48];
    std::snprintf(text, sizeof text, "%s 0x%08X", request, static_cast<unsigned>(status));
    std::lock_guard<std::mutex> guard(mu);
    ++counts[text];
    ++total;
    if (status == STATUS_PENDING) pending.push_back(request);
    // A success-class status other than success would read as success to a
    // caller that tests NT_SUCCESS.
    if (NT_SUCCESS(status) && status != STATUS_SUCCESS) unclear.push_back(text);
    if (status == STATUS_SUCCESS && !wellFormed) malformed.push_back(text);
  }
  std::mutex mu;
  std::map<std::string, int> counts;
  int total = 0;
  std::vector<std::string> pending, unclear, malformed;
};

void Application(readertest::DriverSession& session, PFILE_OBJECT file, std::uint32_t seed, Tally& tally) {
  std::mt19937 random(seed);
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<std::uint32_t>(n)); };
  // One request, waited for and tallied; `wellFormed` judges the output.
  const auto call = [&](const char* name, ULONG code, const Bytes& input, ULONG outputLength,
                        bool (*wellFormed)(const Bytes&) = nullptr) {
    const kernel::IoResult result = kernel::DeviceIoControl(file, code, input, outputLength);
    tally.Add(name, result.status, wellFormed == nullptr || wellFormed(result.output));
  };
  for (int i = 0; i < kOperationsPerApplication; ++i) {
    switch (pick(7)) {
      case 0:
        call("power", IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 64);
        call("protocol", IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T1), 4);
        break;
      case 1:
      case 2:
        call("transmit", IOCTL_SMARTCARD_TRANSMIT, kTransmitSelectMf, 8 + 258,
             [](const Bytes& output) { return output.size() >= 10 && output[0] == SCARD_PROTOCOL_T1; });
        break;
      case 3:
        call("vendor version", IOCTL_VENDOR_GET_VERSION, {}, 8, [](const Bytes& output) { return output.size() == 8; });
        break;
      case 4: call("vendor B0", IOCTL_VENDOR_COMMAND_B0, Bytes{0x01}, 2); break;
      default: {
        // Card tracking, given up after a while as the resource manager does.
        const ULONG code = pick(2) == 0 ? IOCTL_SMARTCARD_IS_PRESENT : IOCTL_SMARTCARD_IS_ABSENT;
        const NTSTATUS status = session.Finish(*session.Begin(code, {}, 0, file), pick(1500) * kMillisecond).status;
        tally.Add(code == IOCTL_SMARTCARD_IS_PRESENT ? "is present" : "is absent", status);
        break;
      }
    }
    kernel::SleepFor(pick(50) * kMillisecond);
  }
}

TEST(Stress, ApplicationsCardAndPowerAtOnce) {
  kernel::Platform platform(kernel::ClockMode::Simulated);
  kernel::verifier::Capture verifier;
  auto reader = readertest::ReaderWithCard(T1Card());
  Tally tally;
  readertest::DriverSession session(reader);
  ASSERT_EQ(session.Load(), STATUS_SUCCESS);
  ASSERT_EQ(session.Start(), STATUS_SUCCESS);
  ASSERT_EQ(session.Open(), STATUS_SUCCESS);
  PFILE_OBJECT file = session.File();

  std::vector<std::unique_ptr<kernel::SystemThread>> threads;
  for (int a = 0; a < kApplications; ++a) {
    threads.push_back(std::make_unique<kernel::SystemThread>(
        "application-" + std::to_string(a), [&session, file, a, &tally] { Application(session, file, kSeed + a, tally); }));
  }
  // The world: the card comes and goes, the system sleeps and resumes.
  threads.push_back(std::make_unique<kernel::SystemThread>("world", [&] {
    std::mt19937 random(kSeed);
    for (int e = 0; e < kWorldEvents; ++e) {
      kernel::SleepFor(static_cast<LONGLONG>(random() % 900) * kMillisecond);
      switch (random() % 4) {
        case 0:
          reader->RemoveCard();
          break;
        case 1:
          reader->InsertCard(T1Card());
          break;
        case 2: {
          tally.Add("sleep", session.Sleep());
          kernel::SleepFor(static_cast<LONGLONG>(random() % 300) * kMillisecond);
          tally.Add("resume", session.Resume());
          break;
        }
        default:
          break;
      }
    }
    reader->InsertCard(T1Card());
  }));
  for (auto& thread : threads) thread->Join();

  // The reader still works.
  EXPECT_EQ(session.Control(IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 64).status, STATUS_SUCCESS);
  EXPECT_EQ(session.Control(IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T1), 4).status, STATUS_SUCCESS);
  const kernel::IoResult last = session.Control(IOCTL_SMARTCARD_TRANSMIT, kTransmitSelectMf, 8 + 258);
  EXPECT_EQ(last.status, STATUS_SUCCESS);
  EXPECT_EQ(last.output, (Bytes{0x02, 0, 0, 0, 0x08, 0, 0, 0, 0x90, 0x00}));

  session.Close();
  EXPECT_EQ(session.SurpriseRemove(), STATUS_SUCCESS);
  const readertest::Leftovers& left = session.TearDown();
  EXPECT_EQ(left.removal, STATUS_SUCCESS);
  std::cout << tally.total << " operations\n";
  for (const auto& [key, count] : tally.counts) std::cout << "  " << key << ": " << count << "\n";
  EXPECT_GE(tally.total, kApplications * kOperationsPerApplication);
  EXPECT_TRUE(tally.pending.empty()) << tally.pending.front();
  EXPECT_TRUE(tally.unclear.empty()) << tally.unclear.front();
  EXPECT_TRUE(tally.malformed.empty()) << tally.malformed.front();
  EXPECT_TRUE(verifier.Messages().empty()) << verifier.Messages().front();
  // The driver's blocks, live and in-progress requests and waiting threads among them.
  EXPECT_EQ(left.Complaints(), "");
}

}  // namespace
