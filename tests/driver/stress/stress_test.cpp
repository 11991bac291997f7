// Several applications at once on one reader while its card comes and goes
// and the system sleeps and resumes: transmits, vendor codes, resets and
// card tracking with cancellation, a bounded number of operations from a
// fixed seed, in simulated time. Afterwards every request has completed
// once with a status an application can act on, nothing is left allocated
// or pending, and the reader still carries a transmit.
#include <gtest/gtest.h>

#include <atomic>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <vector>

#include "driver/reader/vendor_ioctl.h"
#include "tests/fixture/driver_session.h"

namespace {

using readertest::Bytes;
using readertest::T1Card;
using readertest::Ulong;
using kernel::kMillisecond;

constexpr int kApplications = 4;
constexpr int kOperationsPerApplication = 300;
constexpr int kWorldEvents = 80;
constexpr std::uint32_t kSeed = 2210;

const Bytes kSelectMf = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
const Bytes kTransmitSelectMf = readertest::TransmitRequest(SCARD_PROTOCOL_T1, kSelectMf);

// What the applications saw, by request and status.
class Tally {
 public:
  void Add(const char* request, NTSTATUS status) {
    std::lock_guard<std::mutex> guard(mu_);
    ++counts_[std::string(request) + " " + Hex(status)];
    ++total_;
    if (status == STATUS_PENDING) pending_.push_back(request);
    // A success-class status other than success would read as success to a
    // caller that tests NT_SUCCESS.
    if (NT_SUCCESS(status) && status != STATUS_SUCCESS) unclear_.push_back(std::string(request) + " " + Hex(status));
  }
  void Malformed(const std::string& what) {
    std::lock_guard<std::mutex> guard(mu_);
    malformed_.push_back(what);
  }
  int Total() const { return total_; }
  const std::vector<std::string>& Pending() const { return pending_; }
  const std::vector<std::string>& Unclear() const { return unclear_; }
  const std::vector<std::string>& MalformedAnswers() const { return malformed_; }
  void Print() const {
    for (const auto& [key, count] : counts_) std::cout << "  " << key << ": " << count << "\n";
  }

 private:
  static std::string Hex(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
  }
  std::mutex mu_;
  std::map<std::string, int> counts_;
  int total_ = 0;
  std::vector<std::string> pending_;
  std::vector<std::string> unclear_;
  std::vector<std::string> malformed_;
};

void Application(PFILE_OBJECT file, std::uint32_t seed, Tally& tally) {
  std::mt19937 random(seed);
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<std::uint32_t>(n)); };
  for (int i = 0; i < kOperationsPerApplication; ++i) {
    switch (pick(7)) {
      case 0: {
        const kernel::IoResult reset = kernel::DeviceIoControl(file, IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 64);
        tally.Add("power", reset.status);
        const kernel::IoResult select =
            kernel::DeviceIoControl(file, IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T1), 4);
        tally.Add("protocol", select.status);
        break;
      }
      case 1:
      case 2: {
        const kernel::IoResult result =
            kernel::DeviceIoControl(file, IOCTL_SMARTCARD_TRANSMIT, kTransmitSelectMf, 8 + 258);
        tally.Add("transmit", result.status);
        if (result.status == STATUS_SUCCESS && (result.output.size() < 10 || result.output[0] != SCARD_PROTOCOL_T1)) {
          tally.Malformed("transmit answer of " + std::to_string(result.output.size()) + " bytes");
        }
        break;
      }
      case 3: {
        const kernel::IoResult result = kernel::DeviceIoControl(file, IOCTL_VENDOR_GET_VERSION, {}, 8);
        tally.Add("vendor version", result.status);
        if (result.status == STATUS_SUCCESS && result.output.size() != 8) tally.Malformed("version block");
        break;
      }
      case 4: {
        const kernel::IoResult result = kernel::DeviceIoControl(file, IOCTL_VENDOR_COMMAND_B0, Bytes{0x01}, 2);
        tally.Add("vendor B0", result.status);
        break;
      }
      default: {
        // Card tracking, given up after a while as the resource manager does.
        const ULONG code = pick(2) == 0 ? IOCTL_SMARTCARD_IS_PRESENT : IOCTL_SMARTCARD_IS_ABSENT;
        auto request = kernel::StartDeviceIoControl(file, code, {}, 0);
        kernel::IoResult result = request->Wait(pick(1500) * kMillisecond);
        if (result.status == STATUS_PENDING) {
          request->Cancel();
          result = request->Wait();
        }
        tally.Add(code == IOCTL_SMARTCARD_IS_PRESENT ? "is present" : "is absent", result.status);
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
        "application-" + std::to_string(a), [file, a, &tally] { Application(file, kSeed + a, tally); }));
  }
  // The world: the card comes and goes, the system sleeps and resumes.
  threads.push_back(std::make_unique<kernel::SystemThread>("world", [&] {
    std::mt19937 random(kSeed);
    for (int e = 0; e < kWorldEvents; ++e) {
      kernel::SleepFor(static_cast<LONGLONG>(random() % 900) * kMillisecond);
      switch (random() % 4) {
        case 0: reader->RemoveCard(); break;
        case 1: reader->InsertCard(T1Card()); break;
        case 2: {
          tally.Add("sleep", session.Sleep());
          kernel::SleepFor(static_cast<LONGLONG>(random() % 300) * kMillisecond);
          tally.Add("resume", session.Resume());
          break;
        }
        default: break;
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
  std::cout << tally.Total() << " operations\n";
  tally.Print();
  EXPECT_GE(tally.Total(), kApplications * kOperationsPerApplication);
  EXPECT_TRUE(tally.Pending().empty()) << tally.Pending().front();
  EXPECT_TRUE(tally.Unclear().empty()) << tally.Unclear().front();
  EXPECT_TRUE(tally.MalformedAnswers().empty()) << tally.MalformedAnswers().front();
  EXPECT_TRUE(verifier.Messages().empty()) << verifier.Messages().front();
  // The driver's blocks, live and in-progress requests and waiting threads among them.
  EXPECT_EQ(left.Complaints(), "");
}

}  // namespace
