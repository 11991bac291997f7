// Standing the reader device up as device creation will, and taking it
// down as removal will.
#include "tests/driver/tracking/served_reader.h"

#include <gtest/gtest.h>

#include "tests/fixture/library_dispatch.h"

#include "driver/card/reader_functions.h"
#include "driver/reader/reader_commands.h"
#include "driver/tracking/card_tracking.h"
#include "driver/tracking/presence_poll.h"

namespace trackingtest {
namespace {

// What the library does with a tracking request before it calls
// CardTracking: the request waits in the slot.
NTSTATUS ParkAsLibrary(PDEVICE_OBJECT device, PIRP irp) {
  IoMarkIrpPending(irp);
  // As the library does: the driver takes the slot with an interlocked exchange.
  InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&GetDeviceContext(device)->SmartcardExtension.OsData->NotificationIrp),
                             irp);
  return STATUS_PENDING;
}

Bytes LittleEndian32(ULONG value) {
  return Bytes{static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
               static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

}  // namespace

std::shared_ptr<emu::Card> T1Card() {
  emu::CardConfig config;
  config.atr.t0 = false;
  config.atr.t1 = true;
  config.atr.historical = {0x54, 0x31};
  return std::make_shared<emu::Card>(config);
}

ServedReader::ServedReader(emu::ReaderConfig config) : device_(std::move(config)) {
  // Creation and start gave the device the library's data, every reader
  // function and its poll; the first poll has read the card state.
  GetReaderExtension(&Context())->ReaderPowerState = ReaderPowered;
  PDRIVER_OBJECT driver = Device()->DriverObject;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = readertest::DispatchThroughLibrary;
}

ServedReader::~ServedReader() { TakeDown(); }

void ServedReader::TakeDown() {
  EXPECT_EQ(kernel::irps::InProgress(), 0u) << "a request was left uncompleted";
  EXPECT_EQ(verifier_.Messages(), std::vector<std::string>{});
  // The fixture removes the device: the poll stops, its work items are waited for.
}

void ServedReader::SettleReader() {
  EXPECT_TRUE(NT_SUCCESS(GetReaderStatus(Device())));
  ClearTrace();
}

std::vector<Bytes> ServedReader::Frames() const {
  std::vector<Bytes> frames;
  for (const emu::FrameRecord& record : device_.FramesReceived()) frames.push_back(record.bytes);
  return frames;
}

kernel::IoResult ServedReader::Control(ULONG ioControlCode, std::span<const std::uint8_t> input, ULONG outputLength) {
  return StartControl(ioControlCode, input, outputLength)->Wait();
}

std::unique_ptr<kernel::UserRequest> ServedReader::StartControl(ULONG ioControlCode,
                                                                std::span<const std::uint8_t> input,
                                                                ULONG outputLength, PFILE_OBJECT file) {
  return kernel::StartDeviceIoControl(file, ioControlCode, input, outputLength, false, file ? nullptr : Device());
}

kernel::IoResult ServedReader::Power(ULONG operation, ULONG outputLength) {
  return Control(IOCTL_SMARTCARD_POWER, LittleEndian32(operation), outputLength);
}

kernel::IoResult ServedReader::SetProtocol(ULONG mask, ULONG outputLength) {
  return Control(IOCTL_SMARTCARD_SET_PROTOCOL, LittleEndian32(mask), outputLength);
}

std::unique_ptr<kernel::UserRequest> ServedReader::ParkTrackingRequest() {
  PDRIVER_OBJECT driver = Device()->DriverObject;
  const PDRIVER_DISPATCH previous = driver->MajorFunction[IRP_MJ_DEVICE_CONTROL];
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ParkAsLibrary;
  auto request = StartControl(IOCTL_SMARTCARD_IS_PRESENT);
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = previous;
  return request;
}

}  // namespace trackingtest
