#include "tests/driver/dispatch/driver_under_test.h"

#include <gtest/gtest.h>

#include "driver/device/driver_entry.h"

namespace dispatchtest {

std::shared_ptr<emu::Card> T1Card() {
  emu::CardConfig config;
  config.atr.t0 = false;
  config.atr.ta3 = 0x20;
  return std::make_shared<emu::Card>(config);
}

emu::ReaderConfig DriverUnderTest::Instant() {
  emu::ReaderConfig config;
  config.timing = emu::TimingModel::Instant();
  return config;
}

Bytes Ulong(ULONG value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

ULONG AsUlong(const Bytes& bytes) {
  if (bytes.size() < 4) return 0xFFFFFFFF;
  return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<ULONG>(bytes[3]) << 24);
}

DriverUnderTest::DriverUnderTest(emu::ReaderConfig config, bool start) {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  driver = kernel::LoadDriver(u"\\Driver\\SmartCardReader", DriverEntry, &status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  reader = std::make_shared<emu::Reader>(config);
  port = std::make_unique<usb::EmulatedPort>(reader);
  EXPECT_EQ(driver->DriverExtension->AddDevice(driver, port->PhysicalDeviceObject()), STATUS_SUCCESS);
  fdo = IoGetAttachedDevice(port->PhysicalDeviceObject());
  if (start) {
    EXPECT_EQ(Start(), STATUS_SUCCESS);
  }
}

DriverUnderTest::~DriverUnderTest() {
  if (file != nullptr) Close();
  if (!removed) Remove();
  kernel::SleepFor(kernel::kSecond);  // anything still armed would show now
  port.reset();
  kernel::UnloadDriver(driver);
  EXPECT_EQ(kernel::pool::LiveBlocks(DriverPoolTag), 0u);
  EXPECT_EQ(kernel::irps::InProgress(), 0u);
}

NTSTATUS DriverUnderTest::Start() { return Pnp(IRP_MN_START_DEVICE).Status; }

IO_STATUS_BLOCK DriverUnderTest::Pnp(UCHAR minor) { return kernel::SendIrpAndWait(fdo, IRP_MJ_PNP, minor); }

void DriverUnderTest::Remove(bool surprise) {
  if (file != nullptr) Close();
  if (surprise) Pnp(IRP_MN_SURPRISE_REMOVAL);
  EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
  removed = true;
}

NTSTATUS DriverUnderTest::Open() { return kernel::OpenFile(port->PhysicalDeviceObject(), u"", &file); }

void DriverUnderTest::Close() {
  kernel::CloseFile(file);
  file = nullptr;
}

kernel::IoResult DriverUnderTest::Ioctl(ULONG code, const Bytes& input, ULONG outputLength) {
  return StartIoctl(code, input, outputLength)->Wait();
}

std::unique_ptr<kernel::UserRequest> DriverUnderTest::StartIoctl(ULONG code, const Bytes& input, ULONG outputLength) {
  return kernel::StartDeviceIoControl(file, code, input, outputLength, false, file == nullptr ? fdo : nullptr);
}

void DriverUnderTest::ResetAndSelectT1() {
  EXPECT_EQ(Ioctl(IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 64).status, STATUS_SUCCESS);
  EXPECT_EQ(Ioctl(IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T1), 4).status, STATUS_SUCCESS);
}

ULONG DriverUnderTest::State() { return AsUlong(Ioctl(IOCTL_SMARTCARD_GET_STATE, {}, 4).output); }

}  // namespace dispatchtest
