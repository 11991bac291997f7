// A reply the reader could not deliver (its bulk IN read failed), or one
// that came after its exchange had given up waiting, stays in the reader.
// The next request must not take it for its own answer: the driver reads
// past it with a status command before its next frame, and the control
// bytes keep alternating around that status command.
#include <gtest/gtest.h>

#include <memory>

#include "driver/device/device_context.h"
#include "driver/device/driver_entry.h"
#include "emulator/card/card.h"
#include "emulator/reader/reader.h"
#include "platform/kernel/io_user.h"
#include "platform/kernel/platform.h"
#include "driver/models/model.h"
#include "driver/reader/vendor_ioctl.h"
#include "platform/usb/emulated_port.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The control byte and the command byte of each reader command sent.
std::vector<std::pair<UCHAR, UCHAR>> BulkOutCommands(const usb::EmulatedPort& port) {
  std::vector<std::pair<UCHAR, UCHAR>> commands;
  for (const usb::TraceEntry& entry : port.BulkTrace()) {
    if (entry.kind == usb::TraceEntry::Kind::BulkOut && entry.data.size() >= 5) {
      commands.emplace_back(entry.data[1], entry.data[4]);
    }
  }
  return commands;
}

struct LeftReplyCase {
  const char* what;
  void (*fault)(emu::Reader&);
};

class LeftReply : public testing::TestWithParam<LeftReplyCase> {};

TEST_P(LeftReply, DoesNotShiftTheAnswersThatFollow) {
  kernel::Platform platform(kernel::ClockMode::Simulated);
  emu::ReaderConfig config;
  config.timing = emu::TimingModel::Instant();
  auto reader = std::make_shared<emu::Reader>(config);
  reader->InsertCard(std::make_shared<emu::Card>(emu::CardConfig{}));
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
    const UCHAR s = GetDeviceContext(fdo)->SequenceByte;
    GetParam().fault(*reader);
    EXPECT_FALSE(NT_SUCCESS(kernel::DeviceIoControl(file, IOCTL_VENDOR_COMMAND_B0, Bytes{0x01}, 2).status));
    EXPECT_EQ(reader->QueuedReplies(), 1u);  // the reply to 0xB0 waits in the reader
    const kernel::IoResult got = kernel::DeviceIoControl(file, IOCTL_VENDOR_GET_VERSION, {}, 8);
    EXPECT_EQ(got.status, STATUS_SUCCESS);
    EXPECT_EQ(got.output, version);
    EXPECT_EQ(kernel::DeviceIoControl(file, IOCTL_VENDOR_COMMAND_B0, Bytes{0x01}, 2).status, STATUS_SUCCESS);
    // 0xB0, the status command that read past its reply with the other
    // control byte, the version command, 0xB0 again.
    const UCHAR t = static_cast<UCHAR>(s ^ 0x40);
    EXPECT_EQ(BulkOutCommands(port),
              (std::vector<std::pair<UCHAR, UCHAR>>{{s, 0xB0}, {t, 0x31}, {s, 0xC0}, {t, 0xB0}}));
    EXPECT_EQ(reader->QueuedReplies(), 0u);

    // A reader that falls silent with a reply maybe left: the status
    // command reading past it is not answered, and the poll takes that, as
    // any status command that times out, for a reader without a card.
    GetParam().fault(*reader);
    EXPECT_FALSE(NT_SUCCESS(kernel::DeviceIoControl(file, IOCTL_VENDOR_COMMAND_B0, Bytes{0x01}, 2).status));
    reader->GoSilentFromFrame(reader->Counters().framesReceived + 1);
    auto absent = kernel::StartDeviceIoControl(file, IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
    EXPECT_EQ(absent->Wait(20 * kernel::kSecond).status, STATUS_SUCCESS);
    absent->Cancel();
    absent->Wait();

    kernel::CloseFile(file);
    EXPECT_EQ(kernel::SendIrpAndWait(fdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
    kernel::UnloadDriver(driver);
  }
  EXPECT_EQ(kernel::pool::LiveBlocks(DriverPoolTag), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    FailedReadOrLateReply, LeftReply,
    testing::Values(LeftReplyCase{"a read that failed", [](emu::Reader& r) { r.FailNextBulkIn(); }},
                    // Past the 7 s bound of the read that waits for it.
                    LeftReplyCase{"a reply after its time",
                                  [](emu::Reader& r) { r.ScriptFault(emu::ReplyFault::Delay(8 * kernel::kSecond)); }}),
    [](const testing::TestParamInfo<LeftReplyCase>& info) { return info.index == 0 ? "FailedRead" : "LateReply"; });

}  // namespace
