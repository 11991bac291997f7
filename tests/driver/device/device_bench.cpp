// The bench: a driver object with the driver's handlers, readers on ports of
// the emulated hub, and the checks after every removal.
#include "tests/driver/device/device_bench.h"

#include <gtest/gtest.h>

#include "tests/fixture/library_dispatch.h"

#include "driver/device/add_device.h"
#include "driver/device/pipes.h"
#include "driver/device/pnp.h"
#include "driver/device/reader_unit_counter.h"
#include "emulator/reader/frame.h"
#include "platform/smclib/event_log.h"
#include "driver/tracking/card_tracking.h"

namespace devicetest {
namespace {

// What the driver's entry will install.
NTSTATUS BenchDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = readertest::DispatchThroughLibrary;
  driver->DriverExtension->AddDevice = AddDevice;
  InterlockedExchange(&ReaderUnitCounter, 0);
  return STATUS_SUCCESS;
}

}  // namespace

emu::ReaderConfig ReaderPoweringCards(const char* firmware) {
  emu::ReaderConfig config = ReaderWithFirmware(firmware);
  config.activateOnInsert = true;
  return config;
}

std::shared_ptr<emu::Card> TestCard() {
  emu::CardConfig config;
  config.atr.t0 = true;
  config.atr.t1 = true;
  config.atr.historical = {0x44, 0x45, 0x56};
  return std::make_shared<emu::Card>(config);
}

std::uint8_t CommandOf(const Bytes& frame) {
  if (frame.size() >= 6 && frame[0] == emu::kNewCommandAddress && frame[3] == 0x01) return frame[4];
  if (frame.size() >= 6 && frame[0] == emu::kOldCommandType && frame[4] == 0x01) return frame[5];
  return 0;
}

DescriptorFaults::DescriptorFaults(std::shared_ptr<emu::Reader> reader) : reader_(std::move(reader)) {
  reader_->SetWake([this] { Wake(); });
}

DescriptorFaults::~DescriptorFaults() { reader_->SetWake(nullptr); }

void DescriptorFaults::SetConfigurationFault(Fault fault, std::size_t keep) {
  fault_ = fault;
  keep_ = keep;
}

std::vector<std::uint8_t> DescriptorFaults::GetDescriptor(std::uint8_t type, std::uint8_t index) {
  std::vector<std::uint8_t> descriptor = reader_->GetDescriptor(type, index);
  if (type != USB_CONFIGURATION_DESCRIPTOR_TYPE) return descriptor;
  if (fault_ == Fault::Stall) return {};
  if (fault_ == Fault::Truncate && descriptor.size() > keep_) descriptor.resize(keep_);
  return descriptor;
}

Bench::Bench() {
  smclib::ClearEventLog();
  kernel::pool::ClearFailures();
  kernel::faults::Clear();
  driver_ = kernel::LoadDriver(u"\\Driver\\ReaderDeviceTest", BenchDriverEntry);
}

Bench::~Bench() {
  EXPECT_EQ(driver_->DeviceObject, nullptr) << "a device object outlived its reader";
  EXPECT_EQ(kernel::pool::LiveBlocks(DriverPoolTag), 0u) << "a block tagged TQM9 outlived the devices";
  EXPECT_EQ(kernel::irps::InProgress(), 0u) << "a request was left uncompleted";
  EXPECT_EQ(verifier_.Messages(), std::vector<std::string>{});
  kernel::pool::ClearFailures();
  kernel::faults::Clear();
  if (driver_->DeviceObject == nullptr) kernel::UnloadDriver(driver_);
}

PluggedReader::PluggedReader(Bench& bench, emu::ReaderConfig config)
    : bench_(bench),
      reader_(std::make_shared<emu::Reader>(std::move(config))),
      port_(std::make_unique<usb::EmulatedPort>(reader_)) {}

PluggedReader::PluggedReader(Bench& bench, std::shared_ptr<DescriptorFaults> function,
                             std::shared_ptr<emu::Reader> reader)
    : bench_(bench), reader_(std::move(reader)), port_(std::make_unique<usb::EmulatedPort>(std::move(function))) {}

PluggedReader::~PluggedReader() {
  if (device_ != nullptr) Remove();
}

NTSTATUS PluggedReader::Add() {
  below_ = IoGetAttachedDevice(port_->PhysicalDeviceObject());
  const NTSTATUS status = AddDevice(bench_.Driver(), port_->PhysicalDeviceObject());
  PDEVICE_OBJECT top = IoGetAttachedDevice(port_->PhysicalDeviceObject());
  device_ = top != below_ ? top : nullptr;
  EXPECT_EQ(NT_SUCCESS(status), device_ != nullptr);
  return status;
}

NTSTATUS PluggedReader::Pnp(UCHAR minorFunction) {
  return kernel::SendIrpAndWait(device_, IRP_MJ_PNP, minorFunction).Status;
}

NTSTATUS PluggedReader::Remove() {
  const NTSTATUS status = Pnp(IRP_MN_REMOVE_DEVICE);
  ExpectDeviceGone();
  return status;
}

void PluggedReader::ExpectDeviceGone() {
  EXPECT_EQ(IoGetAttachedDevice(port_->PhysicalDeviceObject()), below_) << "the device is still attached";
  for (PDEVICE_OBJECT d = bench_.Driver()->DeviceObject; d != nullptr; d = d->NextDevice) {
    EXPECT_NE(d, device_) << "the device object was not deleted";
  }
  device_ = nullptr;
  EXPECT_EQ(kernel::irps::InProgress(), 0u) << "a request was left uncompleted";
  if (bench_.Driver()->DeviceObject == nullptr) {
    EXPECT_EQ(kernel::pool::LiveBlocks(DriverPoolTag), 0u) << "a block tagged TQM9 outlived the device";
  }
}

std::vector<Bytes> PluggedReader::Frames() const {
  std::vector<Bytes> frames;
  for (const emu::FrameRecord& record : reader_->FramesReceived()) frames.push_back(record.bytes);
  return frames;
}

std::vector<std::uint8_t> PluggedReader::Commands() const {
  std::vector<std::uint8_t> commands;
  for (const Bytes& frame : Frames()) commands.push_back(CommandOf(frame));
  return commands;
}

void PluggedReader::ClearTrace() {
  port_->ClearTrace();
  reader_->ClearLog();
}

std::vector<ULONG> PluggedReader::DescriptorReads(UCHAR type) const {
  std::vector<ULONG> reads;
  for (const usb::TraceEntry& entry : port_->Trace()) {
    if (entry.kind == usb::TraceEntry::Kind::GetDescriptor && entry.endpoint == type) reads.push_back(entry.requested);
  }
  return reads;
}

std::vector<usb::TraceEntry::Kind> PluggedReader::ConfigurationRequests() const {
  std::vector<usb::TraceEntry::Kind> kinds;
  for (const usb::TraceEntry& entry : port_->Trace()) {
    if (entry.kind == usb::TraceEntry::Kind::SelectConfiguration || entry.kind == usb::TraceEntry::Kind::Unconfigure) {
      kinds.push_back(entry.kind);
    }
  }
  return kinds;
}

std::vector<std::uint8_t> PluggedReader::AbortedEndpoints() const {
  std::vector<std::uint8_t> endpoints;
  for (const usb::TraceEntry& entry : port_->Trace()) {
    if (entry.kind == usb::TraceEntry::Kind::AbortPipe) endpoints.push_back(entry.endpoint);
  }
  return endpoints;
}

std::optional<bool> PluggedReader::InterfaceEnabled() const {
  for (const kernel::DeviceInterface& entry : kernel::ListDeviceInterfaces()) {
    if (entry.physicalDeviceObject == port_->PhysicalDeviceObject() &&
        entry.interfaceClass == GUID_DEVINTERFACE_SMARTCARD_READER) {
      return entry.enabled;
    }
  }
  return std::nullopt;
}

PFILE_OBJECT PluggedReader::Open(std::u16string_view name, NTSTATUS* status) {
  PFILE_OBJECT file = nullptr;
  *status = kernel::OpenFile(device_, name, &file);
  return file;
}

void PluggedReader::CloseDuringRemoval(PFILE_OBJECT file) {
  PDEVICE_OBJECT top = file->DeviceObject;
  auto withFile = [file](IO_STACK_LOCATION& location) { location.FileObject = file; };
  kernel::SendIrpAndWait(top, IRP_MJ_CLEANUP, 0, withFile, STATUS_SUCCESS);
  kernel::SendIrpAndWait(top, IRP_MJ_CLOSE, 0, withFile, STATUS_SUCCESS);
  ExFreePool(file);
}

kernel::IoResult PluggedReader::Control(ULONG ioControlCode, std::span<const std::uint8_t> input, ULONG outputLength) {
  return kernel::StartDeviceIoControl(nullptr, ioControlCode, input, outputLength, false, device_)->Wait();
}

std::unique_ptr<kernel::UserRequest> PluggedReader::TrackCard(ULONG ioControlCode) {
  return kernel::StartDeviceIoControl(nullptr, ioControlCode, {}, 0, false, device_);
}

}  // namespace devicetest
