#include "tests/driver/faults/lifecycle.h"

#include <atomic>
#include <memory>
#include <mutex>

#include "driver/device/device_context.h"
#include "driver/device/driver_entry.h"
#include "emulator/reader/reader.h"
#include "platform/kernel/io_user.h"
#include "platform/kernel/platform.h"
#include "platform/kernel/power_manager.h"
#include "driver/reader/vendor_ioctl.h"
#include "platform/usb/emulated_port.h"

namespace faultstest {
namespace {

using Bytes = std::vector<std::uint8_t>;
using kernel::kSecond;

constexpr ULONG kTransferTag = PoolTag("UsbT");
// How long the resource manager waits for a tracking request before it cancels it.
constexpr LONGLONG kTrackingPatience = 10 * kSecond;

emu::ReaderConfig InstantReader() {
  emu::ReaderConfig config;
  config.timing = emu::TimingModel::Instant();
  return config;
}

// A card that offers T=0 and T=1, IFSC 32: longer commands are chained.
std::shared_ptr<emu::Card> DualCard() {
  emu::CardConfig config;
  config.atr.ta3 = 0x20;
  return std::make_shared<emu::Card>(config);
}

Bytes Ulong(ULONG value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

// SCARD_IO_REQUEST {dwProtocol, cbPciLength = 8}, then the command.
Bytes TransmitInput(ULONG protocol, const Bytes& apdu) {
  Bytes input = Ulong(protocol);
  const Bytes length = Ulong(8);
  input.insert(input.end(), length.begin(), length.end());
  input.insert(input.end(), apdu.begin(), apdu.end());
  return input;
}

const Bytes kSelectMf = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};

// An echo of 100 bytes: three I-blocks each way at IFSC 32.
Bytes Echo() {
  Bytes apdu = {0x80, 0x22, 0x00, 0x00, 100};
  for (int i = 0; i < 100; ++i) apdu.push_back(static_cast<std::uint8_t>(i * 13 + 1));
  apdu.push_back(0x00);
  return apdu;
}

// A binary semaphore as a platform object: the Plug and Play manager sends
// one Plug and Play request at a time, so a surprise removal waits for a
// start or a removal in progress.
class PnpLock {
 public:
  PnpLock() { KeInitializeEvent(&event_, SynchronizationEvent, TRUE); }
  void Acquire() { KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, nullptr); }
  void Release() { KeSetEvent(&event_, IO_NO_INCREMENT, FALSE); }

 private:
  KEVENT event_;
};

class Run {
 public:
  explicit Run(const Fault& fault) : fault_(fault) {}

  LifecycleOutcome Go();

 private:
  void Record(const char* name, NTSTATUS status, Bytes output = {}, bool carriesData = false) {
    outcome_.steps.push_back(Step{name, status, std::move(output), carriesData});
  }
  void Ioctl(const char* name, ULONG code, const Bytes& input, ULONG outputLength, bool carriesData);
  void Track(const char* name, ULONG code, void (Run::*change)());
  IO_STATUS_BLOCK Pnp(UCHAR minor);
  void CardOut() { reader_->RemoveCard(); }
  void CardIn() { reader_->InsertCard(DualCard()); }
  // The transfer hook: counts exchanges and injects transfer faults and the surprise removal.
  std::optional<usb::TransferFailure> BeforeTransfer(std::uint32_t number, bool in);
  void LeaveTheBus();
  void Lifecycle();

  const Fault fault_;
  LifecycleOutcome outcome_;
  std::shared_ptr<emu::Reader> reader_;
  std::unique_ptr<usb::EmulatedPort> port_;
  PDRIVER_OBJECT driver_ = nullptr;
  std::atomic<PDEVICE_OBJECT> fdo_{nullptr};
  PFILE_OBJECT file_ = nullptr;
  PnpLock pnpLock_;
  std::mutex removalMutex_;  // guards surpriseRemoval_ only
  std::atomic<bool> leftTheBus_{false};
  std::unique_ptr<kernel::SystemThread> surpriseRemoval_;
  NTSTATUS surpriseStatus_ = STATUS_PENDING;
};

void Run::Ioctl(const char* name, ULONG code, const Bytes& input, ULONG outputLength, bool carriesData) {
  if (file_ == nullptr) return;
  const kernel::IoResult result = kernel::DeviceIoControl(file_, code, input, outputLength);
  Record(name, result.status, result.output, carriesData);
}

// Sends a tracking request, changes the card, and waits as the resource
// manager does: at most kTrackingPatience, then it cancels.
void Run::Track(const char* name, ULONG code, void (Run::*change)()) {
  if (file_ == nullptr) {
    (this->*change)();
    return;
  }
  auto request = kernel::StartDeviceIoControl(file_, code, {}, 0);
  kernel::SleepFor(kSecond);
  (this->*change)();
  kernel::IoResult result = request->Wait(kTrackingPatience);
  if (result.status == STATUS_PENDING) {
    request->Cancel();
    result = request->Wait();
  }
  Record(name, result.status);
}

IO_STATUS_BLOCK Run::Pnp(UCHAR minor) {
  pnpLock_.Acquire();
  IO_STATUS_BLOCK result = kernel::SendIrpAndWait(fdo_.load(), IRP_MJ_PNP, minor);
  // A removal cannot be refused: when its request could not be built for
  // want of memory, the Plug and Play manager sends it again.
  if ((minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL) &&
      result.Status == STATUS_INSUFFICIENT_RESOURCES) {
    result = kernel::SendIrpAndWait(fdo_.load(), IRP_MJ_PNP, minor);
  }
  pnpLock_.Release();
  return result;
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
  port_->Unplug();
  std::lock_guard<std::mutex> guard(removalMutex_);
  surpriseRemoval_ = std::make_unique<kernel::SystemThread>("pnp-surprise-removal", [this] {
    surpriseStatus_ = Pnp(IRP_MN_SURPRISE_REMOVAL).Status;
  });
}

void Run::Lifecycle() {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  driver_ = kernel::LoadDriver(u"\\Driver\\SmartCardReader", DriverEntry, &status);
  Record("DriverEntry", status);
  if (driver_ == nullptr) return;

  status = driver_->DriverExtension->AddDevice(driver_, port_->PhysicalDeviceObject());
  Record("AddDevice", status);
  if (NT_SUCCESS(status)) {
    fdo_ = IoGetAttachedDevice(port_->PhysicalDeviceObject());
    status = Pnp(IRP_MN_START_DEVICE).Status;
    Record("IRP_MN_START_DEVICE", status);
    if (!NT_SUCCESS(status)) {
      Record("IRP_MN_REMOVE_DEVICE", Pnp(IRP_MN_REMOVE_DEVICE).Status);
      fdo_ = nullptr;
    }
  }
  if (fdo_.load() != nullptr) {
    status = kernel::OpenFile(port_->PhysicalDeviceObject(), u"", &file_);
    Record("IRP_MJ_CREATE", status);
    if (!NT_SUCCESS(status)) file_ = nullptr;

    Track("IOCTL_SMARTCARD_IS_ABSENT", IOCTL_SMARTCARD_IS_ABSENT, &Run::CardOut);
    Track("IOCTL_SMARTCARD_IS_PRESENT", IOCTL_SMARTCARD_IS_PRESENT, &Run::CardIn);

    Ioctl("cold reset", IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 64, true);
    Ioctl("select T=0", IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T0), 4, true);
    Ioctl("transmit T=0", IOCTL_SMARTCARD_TRANSMIT, TransmitInput(SCARD_PROTOCOL_T0, kSelectMf), 8 + 258, true);
    Ioctl("cold reset", IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 64, true);
    Ioctl("select T=1", IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T1), 4, true);
    Ioctl("transmit T=1", IOCTL_SMARTCARD_TRANSMIT, TransmitInput(SCARD_PROTOCOL_T1, kSelectMf), 8 + 258, true);
    Ioctl("transmit T=1 chained", IOCTL_SMARTCARD_TRANSMIT, TransmitInput(SCARD_PROTOCOL_T1, Echo()), 8 + 258,
          true);
    Ioctl("vendor version", IOCTL_VENDOR_GET_VERSION, {}, VendorVersionBlockLength, true);
    Ioctl("vendor device descriptor", IOCTL_VENDOR_GET_DEVICE_DESCRIPTOR, {}, 18, true);
    Ioctl("vendor command B0", IOCTL_VENDOR_COMMAND_B0, {0x01}, VendorStatusBytesLength, true);

    Record("sleep S3", kernel::SleepSystem(fdo_.load(), PowerSystemSleeping3));
    Record("resume", kernel::ResumeSystem(fdo_.load()));
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
    if (file_ != nullptr) Record("IRP_MJ_CLOSE", kernel::CloseFile(file_));
    file_ = nullptr;
    Record("IRP_MN_REMOVE_DEVICE", Pnp(IRP_MN_REMOVE_DEVICE).Status);
    fdo_ = nullptr;
  }
  kernel::SleepFor(kSecond);  // anything the driver left armed would fire now
  kernel::UnloadDriver(driver_);
  driver_ = nullptr;
}

// A clean driver and reader after the faulty run: it must carry a transmit.
void FreshDevice(LifecycleOutcome& outcome) {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  PDRIVER_OBJECT driver = kernel::LoadDriver(u"\\Driver\\SmartCardReader", DriverEntry, &status);
  if (driver == nullptr) {
    outcome.freshTransmit = status;
    return;
  }
  auto reader = std::make_shared<emu::Reader>(InstantReader());
  reader->InsertCard(DualCard());
  {
    usb::EmulatedPort port(reader);
    PDEVICE_OBJECT pdo = port.PhysicalDeviceObject();
    outcome.freshTransmit = driver->DriverExtension->AddDevice(driver, pdo);
    if (NT_SUCCESS(outcome.freshTransmit)) {
      PDEVICE_OBJECT fdo = IoGetAttachedDevice(pdo);
      outcome.freshTransmit = kernel::SendIrpAndWait(fdo, IRP_MJ_PNP, IRP_MN_START_DEVICE).Status;
      PFILE_OBJECT file = nullptr;
      if (NT_SUCCESS(outcome.freshTransmit)) outcome.freshTransmit = kernel::OpenFile(pdo, u"", &file);
      if (NT_SUCCESS(outcome.freshTransmit)) {
        outcome.freshTransmit = kernel::DeviceIoControl(file, IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 64).status;
      }
      if (NT_SUCCESS(outcome.freshTransmit)) {
        outcome.freshTransmit =
            kernel::DeviceIoControl(file, IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T1), 4).status;
      }
      if (NT_SUCCESS(outcome.freshTransmit)) {
        const kernel::IoResult result = kernel::DeviceIoControl(
            file, IOCTL_SMARTCARD_TRANSMIT, TransmitInput(SCARD_PROTOCOL_T1, kSelectMf), 8 + 258);
        outcome.freshTransmit = result.status;
        outcome.freshResponse = result.output;
      }
      if (file != nullptr) kernel::CloseFile(file);
      kernel::SendIrpAndWait(fdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
    }
  }
  kernel::UnloadDriver(driver);
  outcome.freshLiveBlocks = kernel::pool::LiveBlocks(DriverPoolTag);
}

LifecycleOutcome Run::Go() {
  kernel::Platform platform(kernel::ClockMode::Simulated);
  kernel::verifier::Capture verifier;
  reader_ = std::make_shared<emu::Reader>(InstantReader());
  reader_->InsertCard(DualCard());
  port_ = std::make_unique<usb::EmulatedPort>(reader_);
  port_->SetTransferHook([this](std::uint32_t number, bool in) { return BeforeTransfer(number, in); });

  const ULONG allocationsBefore = kernel::pool::AllocationCount();
  if (fault_.kind == FaultKind::Allocation) kernel::pool::FailAllocation(fault_.at);
  if (fault_.kind == FaultKind::Silence) reader_->GoSilentFromFrame(fault_.at);
  Lifecycle();
  outcome_.allocations = kernel::pool::AllocationCount() - allocationsBefore;
  if (fault_.kind == FaultKind::Allocation) {
    outcome_.injected = outcome_.allocations >= fault_.at;
  }
  kernel::pool::ClearFailures();
  outcome_.transfers = port_->BulkTransfers();
  outcome_.frames = reader_->Counters().framesReceived;
  if (fault_.kind == FaultKind::Silence) outcome_.injected = outcome_.frames >= fault_.at;

  port_.reset();
  outcome_.liveDriverBlocks = kernel::pool::LiveBlocks(DriverPoolTag);
  outcome_.liveTransferBlocks = kernel::pool::LiveBlocks(kTransferTag);
  outcome_.liveIrps = kernel::irps::Live();
  outcome_.irpsInProgress = kernel::irps::InProgress();
  outcome_.waitingThreads = kernel::threads::Waiting();

  FreshDevice(outcome_);
  for (const std::string& message : verifier.Messages()) outcome_.verifierMessages.push_back(message);
  return outcome_;
}

}  // namespace

const char* FaultKindName(FaultKind kind) {
  switch (kind) {
    case FaultKind::None: return "none";
    case FaultKind::Allocation: return "allocation";
    case FaultKind::Transfer: return "transfer";
    case FaultKind::Silence: return "silence";
    case FaultKind::SurpriseRemoval: return "surprise removal";
  }
  return "?";
}

LifecycleOutcome RunLifecycle(const Fault& fault) { return Run(fault).Go(); }

}  // namespace faultstest
