// Standing a reader device up on the emulated reader through Plug and Play,
// and taking it down.
#include "tests/support/reader_device.h"

#include <gtest/gtest.h>

#include "device/add_device.h"
#include "device/pipes.h"
#include "device/pnp.h"
#include "device/reader_unit_counter.h"
#include "reader/vendor_ioctl.h"
#include "smclib/event_log.h"
#include "tracking/card_tracking.h"

namespace readertest {
namespace {

// The first poll comes 500 ms after creation; the start is done long before.
constexpr LONGLONG FirstPollWait = 600 * kernel::kMillisecond;

// Plays the smart-card library's part for the driver's control codes: the
// request becomes the current one, the vendor reader function serves it,
// and the library completes it with the status returned.
NTSTATUS DispatchControlAsLibrary(PDEVICE_OBJECT device, PIRP irp) {
  SMARTCARD_EXTENSION& extension = GetDeviceContext(device)->SmartcardExtension;
  extension.MajorIoControlCode = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
  extension.OsData->CurrentIrp = irp;
  const NTSTATUS status = extension.ReaderFunction[RDF_IOCTL_VENDOR](&extension);
  extension.OsData->CurrentIrp = nullptr;
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// What the driver's entry installs, but for device control, which the
// fixture's users serve as they need.
NTSTATUS FixtureDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControlAsLibrary;
  driver->DriverExtension->AddDevice = AddDevice;
  InterlockedExchange(&ReaderUnitCounter, 0);
  return STATUS_SUCCESS;
}

}  // namespace

emu::ReaderConfig ReaderWithFirmware(const char* firmware) {
  emu::ReaderConfig config;
  config.firmwareVersion = firmware;
  return config;
}

std::shared_ptr<emu::Card> DualProtocolCard() {
  emu::CardConfig config;
  config.atr.t0 = true;
  config.atr.t1 = true;
  config.atr.historical = {0x45, 0x4D, 0x55};
  return std::make_shared<emu::Card>(config);
}

ReaderDevice::ReaderDevice(emu::ReaderConfig config) : ReaderDevice(std::make_shared<emu::Reader>(std::move(config))) {}

ReaderDevice::ReaderDevice(std::shared_ptr<emu::Reader> reader) : reader_(std::move(reader)), port_(reader_) {
  StandUp();
}

ReaderDevice::~ReaderDevice() { TakeDown(); }

void ReaderDevice::StandUp() {
  smclib::ClearEventLog();
  driver_ = kernel::LoadDriver(u"\\Driver\\ReaderLinkTest", FixtureDriverEntry);
  const NTSTATUS added = AddDevice(driver_, port_.PhysicalDeviceObject());
  EXPECT_EQ(added, STATUS_SUCCESS);
  device_ = IoGetAttachedDevice(port_.PhysicalDeviceObject());
  startStatus_ = kernel::SendIrpAndWait(device_, IRP_MJ_PNP, IRP_MN_START_DEVICE).Status;
  // Device control waits for the first poll after creation; so does the fixture.
  const LONGLONG until = kernel::Now() + FirstPollWait;
  while (ReadUCharAcquire(&Context().PollRequested) != 0 && kernel::Now() < until) kernel::SleepFor(kernel::kMillisecond);
}

void ReaderDevice::TakeDown() {
  PDEVICE_OBJECT physical = port_.PhysicalDeviceObject();
  EXPECT_EQ(kernel::SendIrpAndWait(device_, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
  EXPECT_EQ(IoGetAttachedDevice(physical), physical) << "the device is still attached";
  EXPECT_EQ(driver_->DeviceObject, nullptr) << "the device object was not deleted";
  EXPECT_EQ(kernel::irps::InProgress(), 0u) << "a request was left uncompleted";
  if (driver_->DeviceObject == nullptr) kernel::UnloadDriver(driver_);
  EXPECT_EQ(kernel::pool::LiveBlocks(DriverPoolTag), 0u) << "a block tagged TQM9 outlived the device";
}

void ReaderDevice::ClearTrace() {
  port_.ClearTrace();
  reader_->ClearLog();
}

std::vector<Bytes> ReaderDevice::Written() const {
  std::vector<Bytes> written;
  for (const usb::TraceEntry& entry : port_.BulkTrace()) {
    if (entry.kind == usb::TraceEntry::Kind::BulkOut) written.push_back(entry.data);
  }
  return written;
}

std::vector<Bytes> ReaderDevice::ReadPieces() const {
  std::vector<Bytes> pieces;
  for (const usb::TraceEntry& entry : port_.BulkTrace()) {
    if (entry.kind == usb::TraceEntry::Kind::BulkIn && !entry.data.empty()) pieces.push_back(entry.data);
  }
  return pieces;
}

void ReaderDevice::LoadExchange(std::span<const std::uint8_t> frame) {
  RtlCopyMemory(Context().ExchangeBuffer, frame.data(), frame.size());
  Context().ExchangeLength = static_cast<ULONG>(frame.size());
}

Bytes ReaderDevice::ExchangeBytes() const {
  const DeviceContext& context = Context();
  return Bytes(context.ExchangeBuffer, context.ExchangeBuffer + context.ExchangeLength);
}

kernel::IoResult ReaderDevice::Control(ULONG ioControlCode, std::span<const std::uint8_t> input, ULONG outputLength) {
  return kernel::StartDeviceIoControl(nullptr, ioControlCode, input, outputLength, false, device_)->Wait();
}

}  // namespace readertest
