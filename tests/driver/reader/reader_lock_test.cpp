// ReaderLock, what it keeps apart (the presence poll and the requests that
// use the reader), DelayMilliseconds, and the reply a failed or late read
// leaves in the reader, all in simulated time.
#include <gtest/gtest.h>

#include "driver/device/driver_entry.h"
#include "driver/models/model.h"
#include "driver/reader/delay.h"
#include "driver/reader/reader_lock.h"
#include "driver/reader/vendor_ioctl.h"
#include "tests/fixture/library_dispatch.h"
#include "tests/fixture/reader_device.h"

namespace {

using readertest::Bytes;
using readertest::ReaderDevice;

constexpr LONGLONG Ms = kernel::kMillisecond;

TEST(ReaderLock, IsReentrantForItsOwnerAndMakesOthersTryEveryHundredMilliseconds) {
  ReaderDevice device;
  DeviceContext& context = device.Context();
  const READER_LOCK& lock = context.ReaderLock;
  EXPECT_EQ(AcquireReaderLock(&context), STATUS_SUCCESS);
  EXPECT_EQ(AcquireReaderLock(&context), STATUS_SUCCESS);
  EXPECT_EQ(lock.Owner, KeGetCurrentThread());
  EXPECT_EQ(lock.Depth, 2);
  const LONGLONG start = kernel::Now();
  LONGLONG acquiredAt = 0;
  bool ownedByItself = false;
  kernel::SystemThread other("other", [&] {
    ReleaseReaderLock(&context);  // not its lock: changes nothing
    AcquireReaderLock(&context);
    acquiredAt = kernel::Now();
    ownedByItself = lock.Owner == KeGetCurrentThread() && lock.Depth == 1;
    ReleaseReaderLock(&context);
  });
  kernel::SleepFor(150 * Ms);
  EXPECT_EQ(lock.Depth, 2);
  ReleaseReaderLock(&context);  // still held once: the try at 200 ms fails
  kernel::SleepFor(100 * Ms);
  ReleaseReaderLock(&context);  // free at 250 ms
  other.Join();
  EXPECT_EQ(acquiredAt - start, 300 * Ms);  // tries at 0, 100, 200 and 300 ms
  EXPECT_TRUE(ownedByItself);
  ReleaseReaderLock(&context);  // a release too many changes nothing
  EXPECT_EQ(lock.Owner, nullptr);
  EXPECT_EQ(lock.Depth, 0);
}

// A tracking request waits, so the presence poll reads the reader's status
// every 500 ms; vendor requests come through the library as an
// application's do.
TEST(ReaderLock, KeepsVendorRequestsAndThePresencePollApart) {
  auto reader = std::make_shared<emu::Reader>(readertest::ReaderWithFirmware("2.27"));
  reader->InsertCard(readertest::DualProtocolCard());
  ReaderDevice device(reader);
  DeviceContext& context = device.Context();
  GetReaderExtension(&context)->ReaderPowerState = ReaderPowered;
  device.Device()->DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = readertest::DispatchThroughLibrary;
  auto absent = kernel::StartDeviceIoControl(nullptr, IOCTL_SMARTCARD_IS_ABSENT, {}, 0, false, device.Device());

  // The poll's next status command is answered 300 ms late. A port request
  // sent meanwhile waits for the reader: nothing of it comes between the
  // poll's command and its reply.
  reader->ScriptFault(emu::ReplyFault::Delay(300 * Ms));
  const std::uint32_t frames = reader->Counters().framesReceived;
  while (reader->Counters().framesReceived == frames) kernel::SleepFor(Ms);
  device.ClearTrace();
  EXPECT_EQ(device.Control(IOCTL_VENDOR_RESET_PORT, {}, 0).status, STATUS_SUCCESS);
  std::vector<usb::TraceEntry::Kind> kinds;
  for (const usb::TraceEntry& entry : device.Port().Trace()) kinds.push_back(entry.kind);
  EXPECT_EQ(kinds, (std::vector<usb::TraceEntry::Kind>{usb::TraceEntry::Kind::BulkIn, usb::TraceEntry::Kind::PortStatus}));

  // A refused pass-through frame gives the reader back: the next poll sees the card go.
  EXPECT_EQ(device.Control(IOCTL_VENDOR_PASS_THROUGH, Bytes{0x52, 0x00, 0x02, 0x01, 0x31, 0x60}, 16).status,
            STATUS_INVALID_PARAMETER);
  reader->RemoveCard();
  EXPECT_EQ(absent->Wait(2 * kernel::kSecond).status, STATUS_SUCCESS);
  // A lock left held would keep the poll, and the removal after it, waiting for ever.
  while (context.ReaderLock.Owner == KeGetCurrentThread()) ReleaseReaderLock(&context);
  absent->Cancel();
  absent->Wait();
}

TEST(DelayMilliseconds, SleepsBelowDispatchLevelAndStallsAtIt) {
  kernel::Platform platform{kernel::ClockMode::Simulated};
  kernel::verifier::Capture verifier;
  LONGLONG before = kernel::Now();
  DelayMilliseconds(25);
  EXPECT_EQ(kernel::Now() - before, 25 * Ms);
  KIRQL oldIrql;
  KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
  before = kernel::Now();
  DelayMilliseconds(2);  // forty 50-us stalls
  const LONGLONG stalled = kernel::Now() - before;
  DelayMilliseconds(0);
  const LONGLONG none = kernel::Now() - before - stalled;
  KeLowerIrql(oldIrql);
  EXPECT_EQ(stalled, 2 * Ms);
  EXPECT_EQ(none, 0);
  EXPECT_TRUE(verifier.Messages().empty());
}

// A reply the reader could not deliver (its bulk IN read failed), or one that
// came after its exchange had given up waiting, stays in the reader. The next
// request must not take it for its own answer: the driver reads past it with
// a status command before its next frame, and the control bytes keep
// alternating around that status command. The device stands on the driver's
// own entry and dispatch.
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

    port.ClearTrace();
    const UCHAR s = GetDeviceContext(fdo)->SequenceByte;
    GetParam().fault(*reader);
    EXPECT_FALSE(NT_SUCCESS(kernel::DeviceIoControl(file, IOCTL_VENDOR_COMMAND_B0, Bytes{0x01}, 2).status));
    EXPECT_EQ(reader->QueuedReplies(), 1u);  // the reply to 0xB0 waits in the reader
    const kernel::IoResult got = kernel::DeviceIoControl(file, IOCTL_VENDOR_GET_VERSION, {}, 8);
    EXPECT_EQ(got.status, STATUS_SUCCESS);
    EXPECT_EQ(got.output, (Bytes{0x50, 0x01, 0x00, 0x00, ModelIdentity.DriverVersionMajor,
                                 ModelIdentity.DriverVersionMinor, 0x02, 0x27}));
    EXPECT_EQ(kernel::DeviceIoControl(file, IOCTL_VENDOR_COMMAND_B0, Bytes{0x01}, 2).status, STATUS_SUCCESS);
    // 0xB0, the status command that read past its reply with the other
    // control byte, the version command, 0xB0 again: control and command bytes.
    std::vector<std::pair<UCHAR, UCHAR>> commands;
    for (const usb::TraceEntry& entry : port.BulkTrace()) {
      if (entry.kind == usb::TraceEntry::Kind::BulkOut && entry.data.size() >= 5) {
        commands.emplace_back(entry.data[1], entry.data[4]);
      }
    }
    const UCHAR t = static_cast<UCHAR>(s ^ 0x40);
    EXPECT_EQ(commands, (std::vector<std::pair<UCHAR, UCHAR>>{{s, 0xB0}, {t, 0x31}, {s, 0xC0}, {t, 0xB0}}));
    EXPECT_EQ(reader->QueuedReplies(), 0u);

    // A reader that falls silent with a reply maybe left: the status command
    // reading past it is not answered, and the poll takes that, as any
    // status command that times out, for a reader without a card.
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
