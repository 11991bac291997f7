// A reply the reader could not deliver (its bulk IN read failed) stays in
// the reader. The next request must not take it for its own answer: the
// driver reads past it with a status command before its next frame.
#include <gtest/gtest.h>

#include <memory>

#include "device/device_context.h"
#include "device/driver_entry.h"
#include "emulator/reader/reader.h"
#include "kernel/io_user.h"
#include "kernel/platform.h"
#include "models/model.h"
#include "reader/vendor_ioctl.h"
#include "usb/emulated_port.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes BulkOutFrames(const usb::EmulatedPort& port) {
  Bytes commands;
  for (const usb::TraceEntry& entry : port.BulkTrace()) {
    // The command byte of each new-generation reader command sent.
    if (entry.kind == usb::TraceEntry::Kind::BulkOut && entry.data.size() >= 5) commands.push_back(entry.data[4]);
  }
  return commands;
}

TEST(LeftReply, AFailedReadDoesNotShiftTheAnswersThatFollow) {
  kernel::Platform platform(kernel::ClockMode::Simulated);
  emu::ReaderConfig config;
  config.timing = emu::TimingModel::Instant();
  auto reader = std::make_shared<emu::Reader>(config);
  {
    usb::EmulatedPort port(reader);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = kernel::LoadDriver(u"\\Driver\\SmartCardReader", DriverEntry, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(driver->DriverExtension->AddDevice(driver, port.PhysicalDeviceObject()), STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = IoGetAttachedDevice(port.PhysicalDeviceObject());
    ASSERT_EQ(kernel::SendIrpAndWait(fdo, IRP_MJ_PNP, IRP_MN_START_DEVICE).Status, STATUS_SUCCESS);
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(kernel::OpenFile(port.PhysicalDeviceObject(), u"", &file), STATUS_SUCCESS);
    kernel::SleepFor(kernel::kSecond);  // the first polls are over

    const Bytes version = {0x50, 0x01, 0x00, 0x00, ModelIdentity.DriverVersionMajor,
                           ModelIdentity.DriverVersionMinor, 0x02, 0x27};
    port.ClearTrace();
    reader->FailNextBulkIn();
    EXPECT_EQ(kernel::DeviceIoControl(file, IOCTL_VENDOR_GET_VERSION, {}, 8).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(reader->QueuedReplies(), 1u);  // the version reply waits in the reader
    const kernel::IoResult again = kernel::DeviceIoControl(file, IOCTL_VENDOR_GET_VERSION, {}, 8);
    EXPECT_EQ(again.status, STATUS_SUCCESS);
    EXPECT_EQ(again.output, version);
    EXPECT_EQ(kernel::DeviceIoControl(file, IOCTL_VENDOR_COMMAND_B0, Bytes{0x01}, 2).status, STATUS_SUCCESS);
    // The version command, the status command that read past its left
    // reply, the version command again, then 0xB0.
    EXPECT_EQ(BulkOutFrames(port), (Bytes{0xC0, 0x31, 0xC0, 0xB0}));
    // The status command carried the other control byte than the left reply.
    const std::vector<usb::TraceEntry> bulk = port.BulkTrace();
    ASSERT_GE(bulk.size(), 3u);
    EXPECT_NE(bulk[0].data[1], bulk[2].data[1]);
    EXPECT_EQ(reader->QueuedReplies(), 0u);

    kernel::CloseFile(file);
    EXPECT_EQ(kernel::SendIrpAndWait(fdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
    kernel::UnloadDriver(driver);
  }
  EXPECT_EQ(kernel::pool::LiveBlocks(DriverPoolTag), 0u);
}

}  // namespace
