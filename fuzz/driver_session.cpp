#include "fuzz/driver_session.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "driver/device/driver_entry.h"
#include "platform/kernel/power_manager.h"

namespace fuzzing {

void Require(bool condition, std::string_view message) {
  if (condition) return;
  std::fprintf(stderr, "fuzz invariant broken: %.*s\n", static_cast<int>(message.size()), message.data());
  std::abort();
}

namespace {

constexpr ULONG TagValue(const char* tag) {
  return static_cast<ULONG>(static_cast<UCHAR>(tag[0])) | static_cast<ULONG>(static_cast<UCHAR>(tag[1])) << 8 |
         static_cast<ULONG>(static_cast<UCHAR>(tag[2])) << 16 | static_cast<ULONG>(static_cast<UCHAR>(tag[3])) << 24;
}
constexpr ULONG kTagIrp = TagValue("Irp ");

}  // namespace

Bytes Ulong(ULONG value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

DriverSession::DriverSession() {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  driver_ = kernel::LoadDriver(u"\\Driver\\SmartCardReader", DriverEntry, &status);
  Require(status == STATUS_SUCCESS, "DriverEntry failed");
}

DriverSession::~DriverSession() { TearDown(); }

NTSTATUS DriverSession::Plug(std::shared_ptr<usb::UsbFunction> function) {
  port_ = std::make_unique<usb::EmulatedPort>(std::move(function));
  const NTSTATUS status = driver_->DriverExtension->AddDevice(driver_, port_->PhysicalDeviceObject());
  if (NT_SUCCESS(status)) fdo_ = IoGetAttachedDevice(port_->PhysicalDeviceObject());
  return status;
}

NTSTATUS DriverSession::Start() {
  const NTSTATUS status = Pnp(IRP_MN_START_DEVICE).Status;
  if (!NT_SUCCESS(status)) Remove();
  return status;
}

IO_STATUS_BLOCK DriverSession::Pnp(UCHAR minor) {
  Require(fdo_ != nullptr && !removed_, "Plug and Play request without a device");
  return kernel::SendIrpAndWait(fdo_, IRP_MJ_PNP, minor);
}

void DriverSession::Sleep() {
  if (Usable()) kernel::SleepSystem(fdo_, PowerSystemSleeping3);
}

void DriverSession::Resume() {
  if (Usable()) kernel::ResumeSystem(fdo_);
}

void DriverSession::SurpriseRemove() {
  if (!Usable() || surpriseRemoved_) return;
  port_->Unplug();
  Pnp(IRP_MN_SURPRISE_REMOVAL);
  surpriseRemoved_ = true;
}

NTSTATUS DriverSession::Open(std::u16string_view name) {
  if (!Usable() || file_ != nullptr) return STATUS_UNSUCCESSFUL;
  const NTSTATUS status = kernel::OpenFile(port_->PhysicalDeviceObject(), name, &file_);
  if (!NT_SUCCESS(status)) file_ = nullptr;
  return status;
}

void DriverSession::Close() {
  if (file_ == nullptr) return;
  CollectInFlight();
  kernel::CloseFile(file_);
  file_ = nullptr;
}

kernel::IoResult DriverSession::Control(ULONG code, const Bytes& input, ULONG outputLength, LONGLONG wait) {
  Require(Usable(), "control request without a device");
  if (gateBusy_) return kernel::IoResult{STATUS_DEVICE_BUSY, 0, {}};
  auto request = kernel::StartDeviceIoControl(file_, code, input, outputLength, false, file_ == nullptr ? fdo_ : nullptr);
  kernel::IoResult result = request->Wait(wait);
  if (result.status == STATUS_PENDING && !request->Done()) {
    request->Cancel();
    result = request->Wait();
  }
  Require(result.status != STATUS_PENDING, "a cancelled request was never completed");
  if (std::getenv("FUZZ_VERBOSE") != nullptr) {
    std::fprintf(stderr, "control 0x%06X in %zu out %u -> 0x%08X, %zu bytes\n", static_cast<unsigned>(code),
                 input.size(), static_cast<unsigned>(outputLength), static_cast<unsigned>(result.status),
                 static_cast<std::size_t>(result.information));
  }
  // The gate waited 10 s for a poll that never read the card state; every
  // later request would wait as long for the same answer.
  if (result.status == STATUS_DEVICE_BUSY) gateBusy_ = true;
  return result;
}

void DriverSession::StartControl(ULONG code, const Bytes& input, ULONG outputLength) {
  Require(Usable(), "control request without a device");
  inFlight_.push_back(
      kernel::StartDeviceIoControl(file_, code, input, outputLength, false, file_ == nullptr ? fdo_ : nullptr));
}

void DriverSession::CollectInFlight() {
  for (auto& request : inFlight_) {
    if (!request->Done()) request->Cancel();
    const kernel::IoResult result = request->Wait(60 * kernel::kSecond);
    Require(result.status != STATUS_PENDING, "a request in flight was never completed");
  }
  inFlight_.clear();
}

void DriverSession::Remove() {
  if (fdo_ == nullptr || removed_) return;
  Close();
  CollectInFlight();
  Require(Pnp(IRP_MN_REMOVE_DEVICE).Status == STATUS_SUCCESS, "IRP_MN_REMOVE_DEVICE failed");
  removed_ = true;
}

void DriverSession::TearDown() {
  if (tornDown_) return;
  tornDown_ = true;
  Remove();
  // A timer or work item still armed would run now, on freed memory.
  kernel::SleepFor(kernel::kSecond);
  Require(kernel::irps::InProgress() == 0, "a request was left uncompleted");
  Require(driver_->DeviceObject == nullptr, "the device object outlived its removal");
  port_.reset();
  kernel::UnloadDriver(driver_);
  driver_ = nullptr;
  Require(kernel::pool::LiveBlocks(DriverPoolTag) == 0, "a block tagged TQM9 outlived the device");
  Require(kernel::irps::Live() == 0, "a request was never freed");
  // Freed requests stay in the I/O manager's quarantine (their pool blocks
  // too) to catch a use after free; irps::Live above counts those in use.
  const ULONG quarantined = kernel::pool::LiveBlocks(kTagIrp);
  if (kernel::pool::Totals().liveBlocks != quarantined) {
    std::string tags;
    for (const char* tag : {"TQM9", "SCLB", "Devo", "Drvo", "File", "Sbuf", "Strg", "UsbT", "USBD"}) {
      const ULONG live = kernel::pool::LiveBlocks(TagValue(tag));
      if (live != 0) tags += std::string(" ") + tag + ":" + std::to_string(live);
    }
    Require(false, "a pool block outlived the session;" + tags);
  }
}

}  // namespace fuzzing
