#include "tests/driver/faults/lifecycle.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <tuple>

#include "driver/reader/vendor_ioctl.h"
#include "emulator/reader/reader.h"

namespace faultstest {
namespace {

using kernel::kSecond;
using readertest::Bytes;
using readertest::TransmitRequest;
using readertest::Ulong;

// How long the resource manager waits for a tracking request before it cancels it.
constexpr LONGLONG kTrackingPatience = 10 * kSecond;
constexpr LONGLONG kForever = -1;

// A reader that answers at once with a card that offers T=0 and T=1, IFSC
// 32: longer commands are chained.
std::shared_ptr<emu::Card> DualCard() {
  emu::CardConfig config;
  config.atr.ta3 = 0x20;
  return std::make_shared<emu::Card>(config);
}

std::shared_ptr<emu::Reader> ReaderWithCard() {
  emu::ReaderConfig config;
  config.timing = emu::TimingModel::Instant();
  auto reader = std::make_shared<emu::Reader>(config);
  reader->InsertCard(DualCard());
  return reader;
}

const Bytes kSelectMf = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};

// An echo of 100 bytes: three I-blocks each way at IFSC 32.
Bytes Echo() {
  Bytes apdu = {0x80, 0x22, 0x00, 0x00, 100};
  for (int i = 0; i < 100; ++i) apdu.push_back(static_cast<std::uint8_t>(i * 13 + 1));
  apdu.push_back(0x00);
  return apdu;
}

class Run {
 public:
  explicit Run(const Fault& fault) : fault_(fault), reader_(ReaderWithCard()), session_(reader_) {}

  LifecycleOutcome Go();

 private:
  void Record(const char* name, NTSTATUS status, Bytes output = {}, bool carriesData = false) {
    outcome_.steps.push_back(Step{name, status, std::move(output), carriesData});
  }
  void Ioctl(const char* name, ULONG code, const Bytes& input, ULONG outputLength, bool carriesData);
  void Track(const char* name, ULONG code, void (Run::*change)());
  void CardOut() { reader_->RemoveCard(); }
  void CardIn() { reader_->InsertCard(DualCard()); }
  // The transfer hook: injects transfer faults and the surprise removal.
  std::optional<usb::TransferFailure> BeforeTransfer(std::uint32_t number, bool in);
  void LeaveTheBus();
  void Lifecycle();

  const Fault fault_;
  LifecycleOutcome outcome_;
  std::shared_ptr<emu::Reader> reader_;
  readertest::DriverSession session_;
  std::mutex removalMutex_;  // guards surpriseRemoval_ only
  std::atomic<bool> leftTheBus_{false};
  std::unique_ptr<kernel::SystemThread> surpriseRemoval_;
  NTSTATUS surpriseStatus_ = STATUS_PENDING;
};

void Run::Ioctl(const char* name, ULONG code, const Bytes& input, ULONG outputLength, bool carriesData) {
  if (!session_.HasHandle()) return;
  const kernel::IoResult result = session_.Control(code, input, outputLength, kForever);
  Record(name, result.status, result.output, carriesData);
}

// Sends a tracking request, changes the card, and waits as the resource
// manager does: at most kTrackingPatience, then it cancels.
void Run::Track(const char* name, ULONG code, void (Run::*change)()) {
  if (!session_.HasHandle()) {
    (this->*change)();
    return;
  }
  auto request = session_.Begin(code, {}, 0);
  kernel::SleepFor(kSecond);
  (this->*change)();
  Record(name, session_.Finish(*request, kTrackingPatience).status);
}

std::optional<usb::TransferFailure> Run::BeforeTransfer(std::uint32_t number, bool in) {
  if (fault_.kind == FaultKind::Transfer && number == fault_.at) {
    outcome_.injected = true;
    return usb::TransferFailure{};
  }
  if (fault_.kind == FaultKind::SurpriseRemoval && !in) {
    const std::uint32_t frame = reader_->Counters().framesReceived + 1;
    if (frame == fault_.at) LeaveTheBus();
  }
  return std::nullopt;
}

// The reader leaves the bus; the Plug and Play manager learns it from the
// hub and sends IRP_MN_SURPRISE_REMOVAL on a thread of its own.
void Run::LeaveTheBus() {
  if (leftTheBus_.exchange(true)) return;
  if (fault_.kind == FaultKind::SurpriseRemoval) outcome_.injected = true;
  session_.Port().Unplug();
  std::lock_guard<std::mutex> guard(removalMutex_);
  surpriseRemoval_ = std::make_unique<kernel::SystemThread>(
      "pnp-surprise-removal", [this] { surpriseStatus_ = session_.Pnp(IRP_MN_SURPRISE_REMOVAL); });
}

void Run::Lifecycle() {
  NTSTATUS status = session_.Load();
  Record("DriverEntry", status);
  if (!NT_SUCCESS(status)) return;
  status = session_.AddDevice();
  Record("AddDevice", status);
  if (!NT_SUCCESS(status)) return;
  status = session_.Pnp(IRP_MN_START_DEVICE);
  Record("IRP_MN_START_DEVICE", status);
  if (!NT_SUCCESS(status)) {
    Record("IRP_MN_REMOVE_DEVICE", session_.Remove());
    return;
  }
  Record("IRP_MJ_CREATE", session_.Open());

  Track("IOCTL_SMARTCARD_IS_ABSENT", IOCTL_SMARTCARD_IS_ABSENT, &Run::CardOut);
  Track("IOCTL_SMARTCARD_IS_PRESENT", IOCTL_SMARTCARD_IS_PRESENT, &Run::CardIn);

  Ioctl("cold reset", IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 64, true);
  Ioctl("select T=0", IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T0), 4, true);
  Ioctl("transmit T=0", IOCTL_SMARTCARD_TRANSMIT, TransmitRequest(SCARD_PROTOCOL_T0, kSelectMf), 8 + 258, true);
  Ioctl("cold reset", IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 64, true);
  Ioctl("select T=1", IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T1), 4, true);
  Ioctl("transmit T=1", IOCTL_SMARTCARD_TRANSMIT, TransmitRequest(SCARD_PROTOCOL_T1, kSelectMf), 8 + 258, true);
  Ioctl("transmit T=1 chained", IOCTL_SMARTCARD_TRANSMIT, TransmitRequest(SCARD_PROTOCOL_T1, Echo()), 8 + 258,
        true);
  Ioctl("vendor version", IOCTL_VENDOR_GET_VERSION, {}, VendorVersionBlockLength, true);
  Ioctl("vendor device descriptor", IOCTL_VENDOR_GET_DEVICE_DESCRIPTOR, {}, 18, true);
  Ioctl("vendor command B0", IOCTL_VENDOR_COMMAND_B0, {0x01}, VendorStatusBytesLength, true);

  Record("sleep S3", session_.Sleep());
  Record("resume", session_.Resume());
  Ioctl("state after resume", IOCTL_SMARTCARD_GET_STATE, {}, 4, false);
  Ioctl("cold reset after resume", IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 64, true);

  LeaveTheBus();
  std::unique_ptr<kernel::SystemThread> surpriseRemoval;
  while (surpriseRemoval == nullptr) {  // the thread that left the bus may still be starting it
    {
      std::lock_guard<std::mutex> guard(removalMutex_);
      surpriseRemoval = std::move(surpriseRemoval_);
    }
    if (surpriseRemoval == nullptr) kernel::SleepFor(kernel::kMillisecond);
  }
  surpriseRemoval->Join();
  Record("IRP_MN_SURPRISE_REMOVAL", surpriseStatus_);
  Ioctl("state after surprise removal", IOCTL_SMARTCARD_GET_STATE, {}, 4, false);
  if (session_.HasHandle()) Record("IRP_MJ_CLOSE", session_.Close());
  Record("IRP_MN_REMOVE_DEVICE", session_.Remove());
}

// A clean driver and reader after the faulty run, on the same platform: it
// must carry a transmit.
void FreshDevice(LifecycleOutcome& outcome) {
  readertest::DriverSession fresh(ReaderWithCard());
  NTSTATUS status = fresh.Load();
  if (NT_SUCCESS(status)) status = fresh.Start();
  if (NT_SUCCESS(status)) status = fresh.Open();
  const Bytes transmit = TransmitRequest(SCARD_PROTOCOL_T1, kSelectMf);
  for (const auto& [code, input, room] : {std::tuple{IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 64},
                                          std::tuple{IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T1), 4},
                                          std::tuple{IOCTL_SMARTCARD_TRANSMIT, transmit, 8 + 258}}) {
    if (!NT_SUCCESS(status)) break;
    const kernel::IoResult result = fresh.Control(code, input, room, kForever);
    status = result.status;
    outcome.freshResponse = result.output;
  }
  outcome.freshTransmit = status;
  outcome.freshLiveBlocks = fresh.TearDown().driverBlocks;
}

LifecycleOutcome Run::Go() {
  session_.Port().SetTransferHook([this](std::uint32_t number, bool in) { return BeforeTransfer(number, in); });
  const ULONG allocationsBefore = kernel::pool::AllocationCount();
  if (fault_.kind == FaultKind::Allocation) kernel::pool::FailAllocation(fault_.at);
  if (fault_.kind == FaultKind::Silence) reader_->GoSilentFromFrame(fault_.at);
  Lifecycle();
  outcome_.left = session_.TearDown();
  outcome_.allocations = kernel::pool::AllocationCount() - allocationsBefore;
  if (fault_.kind == FaultKind::Allocation) outcome_.injected = outcome_.allocations >= fault_.at;
  kernel::pool::ClearFailures();
  outcome_.frames = reader_->Counters().framesReceived;
  if (fault_.kind == FaultKind::Silence) outcome_.injected = outcome_.frames >= fault_.at;
  return outcome_;
}

}  // namespace

LifecycleOutcome RunLifecycle(const Fault& fault) {
  kernel::Platform platform(kernel::ClockMode::Simulated);
  kernel::verifier::Capture verifier;
  LifecycleOutcome outcome = Run(fault).Go();
  FreshDevice(outcome);
  outcome.verifierMessages = verifier.Messages();
  return outcome;
}

}  // namespace faultstest
