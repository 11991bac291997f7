// ReaderLock and what it keeps apart (the presence poll and the requests
// that use the reader), DelayMilliseconds, and the reply a failed or late
// read leaves in the reader; all in simulated time.
#include <gtest/gtest.h>

#include "emulator/reader/frame.h"
#include "driver/dispatch/device_control.h"
#include "driver/reader/delay.h"
#include "driver/reader/reader_lock.h"
#include "driver/reader/vendor_ioctl.h"
#include "tests/fixture/library_dispatch.h"
#include "tests/fixture/reader_device.h"

namespace {

using readertest::Bytes;
using readertest::ReaderDevice;
constexpr LONGLONG Ms = kernel::kMillisecond;

Bytes Frame(UCHAR control, const Bytes& information) { return emu::BuildNewFrame(0x12, control, information); }

TEST(ReaderLock, IsReentrantForItsOwnerAndMakesOthersTryEveryHundredMilliseconds) {
  ReaderDevice device;
  DeviceContext& context = device.Context();
  AcquireReaderLock(&context);
  AcquireReaderLock(&context);
  const LONGLONG start = kernel::Now();
  LONGLONG acquiredAt = 0;
  kernel::SystemThread other("other", [&] {
    ReleaseReaderLock(&context);  // not its lock: changes nothing
    AcquireReaderLock(&context);  // tries at 0, 100, 200 and 300 ms
    acquiredAt = kernel::Now() - start;
    ReleaseReaderLock(&context);
  });
  kernel::SleepFor(150 * Ms);
  ReleaseReaderLock(&context);  // still held once: the try at 200 ms fails
  kernel::SleepFor(100 * Ms);
  ReleaseReaderLock(&context);
  other.Join();
  EXPECT_EQ(acquiredAt, 300 * Ms);
  ReleaseReaderLock(&context);  // a release too many changes nothing
  EXPECT_EQ(context.ReaderLock.Owner, nullptr);
  EXPECT_EQ(context.ReaderLock.Depth, 0);
}

TEST(DelayMilliseconds, SleepsBelowDispatchLevelAndStallsAtIt) {
  kernel::Platform platform{kernel::ClockMode::Simulated};
  kernel::verifier::Capture verifier;
  const LONGLONG start = kernel::Now();
  DelayMilliseconds(25);
  KIRQL oldIrql;
  KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
  DelayMilliseconds(2);  // forty 50-us stalls
  DelayMilliseconds(0);
  KeLowerIrql(oldIrql);
  EXPECT_EQ(kernel::Now() - start, 27 * Ms);
  EXPECT_TRUE(verifier.Messages().empty());
}

// A device with a card, the reader powered, its requests served by `dispatch`.
std::unique_ptr<ReaderDevice> ServedDevice(PDRIVER_DISPATCH dispatch) {
  auto reader = std::make_shared<emu::Reader>(readertest::ReaderWithFirmware("2.27"));
  reader->InsertCard(readertest::DualProtocolCard());
  auto device = std::make_unique<ReaderDevice>(reader);
  GetReaderExtension(&device->Context())->ReaderPowerState = ReaderPowered;
  device->Device()->DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch;
  return device;
}

std::unique_ptr<kernel::UserRequest> WaitForRemoval(ReaderDevice& device) {
  return kernel::StartDeviceIoControl(nullptr, IOCTL_SMARTCARD_IS_ABSENT, {}, 0, false, device.Device());
}

// While a tracking request waits, the presence poll reads the reader's
// status every 500 ms. Vendor requests come straight from the library here.
TEST(ReaderLock, KeepsVendorRequestsAndThePresencePollApart) {
  auto device = ServedDevice(readertest::DispatchThroughLibrary);
  emu::Reader& reader = device->Reader();
  auto absent = WaitForRemoval(*device);
  // The poll's next status command is answered 300 ms late. A port request
  // sent meanwhile waits for the reader: nothing of it comes between the
  // poll's command and its reply.
  reader.ScriptFault(emu::ReplyFault::Delay(300 * Ms));
  device->ClearTrace();
  for (auto frames = reader.Counters().framesReceived; reader.Counters().framesReceived == frames;) kernel::SleepFor(Ms);
  EXPECT_EQ(device->Control(IOCTL_VENDOR_RESET_PORT, {}, 0).status, STATUS_SUCCESS);
  using Kind = usb::TraceEntry::Kind;
  std::vector<Kind> kinds;
  for (const usb::TraceEntry& entry : device->Port().Trace()) kinds.push_back(entry.kind);
  EXPECT_EQ(kinds, (std::vector{Kind::BulkOut, Kind::BulkIn, Kind::PortStatus}));

  // A refused pass-through frame gives the reader back: the next poll sees the card go.
  EXPECT_EQ(device->Control(IOCTL_VENDOR_PASS_THROUGH, Bytes{0x52, 0x00, 0x02, 0x01, 0x31, 0x60}, 16).status,
            STATUS_INVALID_PARAMETER);
  reader.RemoveCard();
  EXPECT_EQ(absent->Wait(2 * kernel::kSecond).status, STATUS_SUCCESS);
  // A lock left held would keep the poll, and the removal after it, waiting for ever.
  while (device->Context().ReaderLock.Owner == KeGetCurrentThread()) ReleaseReaderLock(&device->Context());
  absent->Cancel();
  absent->Wait();
}

// A reply the reader could not deliver (its bulk IN read failed), or one that
// came after its exchange had given up waiting, stays in the reader. The next
// request must not take it for its own answer: the driver reads past it with
// a status command with the other control byte before its next frame.
class LeftReply : public testing::TestWithParam<void (*)(emu::Reader&)> {};

TEST_P(LeftReply, DoesNotShiftTheAnswersThatFollow) {
  auto device = ServedDevice(DispatchDeviceControl);  // the driver's own gate in front of the library
  emu::Reader& reader = device->Reader();
  const UCHAR s = device->Context().SequenceByte;
  const UCHAR t = s ^ 0x40;
  device->ClearTrace();
  GetParam()(reader);
  EXPECT_FALSE(NT_SUCCESS(device->Control(IOCTL_VENDOR_COMMAND_B0, Bytes{0x01}, 2).status));
  EXPECT_EQ(reader.QueuedReplies(), 1u);  // the reply to 0xB0 waits in the reader
  EXPECT_EQ(device->Control(IOCTL_VENDOR_GET_VERSION, {}, 8).output.at(7), 0x27);
  EXPECT_EQ(device->Control(IOCTL_VENDOR_COMMAND_B0, Bytes{0x01}, 2).status, STATUS_SUCCESS);
  const Bytes b0 = {0x01, 0xB0, 0x00, 0x01};
  EXPECT_EQ(device->Written(), (std::vector{Frame(s, b0), Frame(t, {0x01, 0x31}), Frame(s, {0x01, 0xC0}), Frame(t, b0)}));
  EXPECT_EQ(reader.QueuedReplies(), 0u);

  // A reader that falls silent with a reply maybe left: the status command
  // reading past it is not answered, and the poll takes that, as any status
  // command that times out, for a reader without a card.
  GetParam()(reader);
  EXPECT_FALSE(NT_SUCCESS(device->Control(IOCTL_VENDOR_COMMAND_B0, Bytes{0x01}, 2).status));
  reader.GoSilentFromFrame(reader.Counters().framesReceived + 1);
  auto absent = WaitForRemoval(*device);
  EXPECT_EQ(absent->Wait(20 * kernel::kSecond).status, STATUS_SUCCESS);
  absent->Cancel();
  absent->Wait();
}

INSTANTIATE_TEST_SUITE_P(FailedReadOrLateReply, LeftReply,
                         testing::Values([](emu::Reader& r) { r.FailNextBulkIn(); },
                                         // Past the 7 s bound of the read that waits for it.
                                         [](emu::Reader& r) { r.ScriptFault(emu::ReplyFault::Delay(8'000 * Ms)); }));

}  // namespace
