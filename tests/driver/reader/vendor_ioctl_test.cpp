// The driver's own control codes, pass-through included, sent as an
// application sends them (a buffered control request at the top of the
// device's stack); ReaderLock keeping them and the presence poll apart; and
// the reply a failed or late read leaves in the reader. All in simulated time.
#include <gtest/gtest.h>

#include "emulator/reader/frame.h"
#include "driver/dispatch/device_control.h"
#include "driver/models/model.h"
#include "driver/reader/reader_commands.h"
#include "driver/reader/reader_lock.h"
#include "driver/reader/vendor_ioctl.h"
#include "tests/fixture/plugged_reader.h"

namespace {

using readertest::Bytes;
using readertest::ReaderDevice;
using readertest::ReaderWithFirmware;
constexpr ULONG Pass = IOCTL_VENDOR_PASS_THROUGH;
constexpr LONGLONG Ms = kernel::kMillisecond;
using Kind = usb::TraceEntry::Kind;

Bytes NewFrame(const Bytes& info, UCHAR control = 0x00) { return emu::BuildNewFrame(0x12, control, info); }

TEST(VendorIoctl, RefusesWhatItCannotServeAndTouchesNothing) {
  Bytes filler = {0x01, 0x31};  // and filler: a frame of 251 bytes
  filler.resize(247);
  const NTSTATUS Invalid = STATUS_INVALID_PARAMETER;
  // What, on a reader of the old generation, the code, its input, the output's length, the status.
  const std::tuple<const char*, bool, ULONG, Bytes, ULONG, NTSTATUS> cases[] = {
      {"a code the driver does not serve, passed over", false, SCARD_CTL_CODE(2057), {}, 8, STATUS_SUCCESS},
      {"version, 7 bytes of output", false, IOCTL_VENDOR_GET_VERSION, {}, 7, Invalid},
      {"eject, 1 byte of output", false, IOCTL_VENDOR_EJECT, {}, 1, Invalid},
      {"0xB0 without its parameter byte", false, IOCTL_VENDOR_COMMAND_B0, {}, 2, Invalid},
      {"device descriptor, 17 bytes", false, IOCTL_VENDOR_GET_DEVICE_DESCRIPTOR, {}, 17, STATUS_BUFFER_TOO_SMALL},
      // Pass-through: a type or address it carries, within its length limit,
      // and exactly the N + 4 bytes the header announces.
      {"no frame", false, Pass, {}, 16, Invalid},
      {"251 bytes", false, Pass, NewFrame(filler), 512, Invalid},
      {"old type, new reader", false, Pass, {0x10, 0x00, 0x00, 0x02, 0x01, 0x31}, 512, Invalid},
      {"shorter than a frame", false, Pass, {0x12, 0x00, 0x00}, 512, Invalid},
      {"N 5, 2 bytes", false, Pass, {0x12, 0x00, 0x05, 0x01, 0x31, 0x25}, 512, Invalid},
      {"old command of 251 bytes", true, Pass, emu::BuildOldFrame(0x10, filler), 512, Invalid},
      {"old length 3, 2 bytes", true, Pass, {0x10, 0x00, 0x00, 0x03, 0x01, 0x31}, 512, Invalid},
      {"card frame past 0x10020 bytes", true, Pass, emu::BuildOldFrame(0x51, Bytes(PassThroughCardFrameMax - 3, 0)),
       PassThroughCardFrameMax, Invalid},
  };
  for (const auto& [what, old, code, input, output, status] : cases) {
    ReaderDevice device(ReaderWithFirmware(old ? "1.50" : "2.27"));
    RtlFillMemory(device.Context().ExchangeBuffer, ExchangeBufferSize, 0xEE);
    device.Context().ExchangeLength = 77;
    device.ClearTrace();
    const kernel::IoResult result = device.Control(code, input, output);
    EXPECT_EQ((std::pair{result.status, result.information}), (std::pair{status, ULONG_PTR{0}})) << what;
    EXPECT_EQ(device.ExchangeBytes(), Bytes(77, 0xEE)) << what;
    EXPECT_TRUE(device.Written().empty()) << what;
  }
}

TEST(VendorIoctl, ReturnsTheVersionBlockTheDescriptorsAndTheStatusBytesThatEndAReply) {
  ReaderDevice device;
  const Bytes configuration = device.Reader().GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0);
  device.InsertCard(readertest::DualProtocolCard());
  const std::tuple<ULONG, Bytes, ULONG, Bytes> cases[] = {
      {IOCTL_VENDOR_GET_VERSION, {}, 8, {0x50, 0x01, 0x00, 0x00, 0x02, ModelIdentity.DriverVersionMinor, 0x02, 0x27}},
      {IOCTL_VENDOR_GET_DEVICE_DESCRIPTOR, {}, 18, device.Reader().GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0)},
      {IOCTL_VENDOR_GET_CONFIG_DESCRIPTOR, {}, 64, Bytes(configuration.begin(), configuration.begin() + 9)},
      {IOCTL_VENDOR_EJECT, {}, 2, {0x90, 0x00}},
      {IOCTL_VENDOR_EJECT, {}, 2, {0xF4, 0xAD}},  // no card now: the reader's error reply 01 39 F4 AD
      {IOCTL_VENDOR_COMMAND_B0, {0x05}, 2, {0x90, 0x00}},
  };
  for (const auto& [code, input, output, answer] : cases) {
    const kernel::IoResult result = device.Control(code, input, output);
    EXPECT_EQ(result.status, STATUS_SUCCESS) << std::hex << code;
    EXPECT_EQ(result.output, answer) << std::hex << code;
  }
  EXPECT_EQ(device.Reader().CommandB0Parameter(), UCHAR{0x05});
  // A reply that lacks the status bytes (two bytes arrive, then nothing), or a failed write, gives none.
  device.Reader().SetZeroLengthWhenIdle(true);
  device.Reader().ScriptFault(emu::ReplyFault::Truncate(2));
  EXPECT_EQ(device.Control(IOCTL_VENDOR_EJECT, {}, 2).status, STATUS_DEVICE_DATA_ERROR);
  device.Reader().FailNextBulkOut();
  EXPECT_EQ(device.Control(IOCTL_VENDOR_COMMAND_B0, Bytes{0x01}, 2).status, STATUS_UNSUCCESSFUL);
}

TEST(PassThrough, WritesTheCheckByteAndSetsTheReaderUpAfterARestart) {
  ReaderDevice device;
  const UCHAR sequence = device.Context().SequenceByte;
  device.ClearTrace();
  // 00 F5 restarts the reader; the application's check byte 77 becomes 12^40^02^00^F5 = A5.
  const Bytes restart = {0x12, 0x40, 0x02, 0x00, 0xF5, 0x77};
  EXPECT_EQ(device.Control(Pass, restart, 7).status, STATUS_BUFFER_TOO_SMALL);
  const kernel::IoResult result = device.Control(Pass, restart, 8);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.output, NewFrame({0x00, 0xF5, 0x90, 0x00}, 0x40));
  const Bytes sent = {0x12, 0x40, 0x02, 0x00, 0xF5, 0xA5};
  // The frame's control byte is the application's; the set-up sequence after it takes the next two.
  EXPECT_EQ(device.Written(), (std::vector<Bytes>{sent, sent, NewFrame({0x01, 0xD0}, sequence),
                                                  NewFrame({0x01, 0x41}, sequence ^ 0x40)}));
  EXPECT_EQ(device.Context().SequenceByte, sequence);
}

// An old reader runs a card frame on its own: the driver polls its transfer
// state (0xD2) until the answer waits, fetches it (0xD3) and returns that reply.
TEST(PassThrough, CollectsTheAnswerToAnOldGenerationCardFrame) {
  emu::ReaderConfig config = ReaderWithFirmware("1.50");
  config.transferBusyPolls = 1;
  ReaderDevice device(config);
  device.InsertCard(readertest::DualProtocolCard());
  ASSERT_EQ(GetAtr(device.Device()), STATUS_SUCCESS);  // powers the card
  device.ClearTrace();
  // APDU GET CHALLENGE for 4 bytes (ISO/IEC 7816-4 clause 11.5.6) in a type 0x51 frame.
  const Bytes apdu = {0x51, 0x00, 0x00, 0x05, 0x00, 0x84, 0x00, 0x00, 0x04};
  const kernel::IoResult result = device.Control(Pass, apdu, 512);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  const Bytes poll = {0x10, 0x00, 0x00, 0x02, 0x01, 0xD2};
  EXPECT_EQ(device.Written(), (std::vector<Bytes>{apdu, poll, poll, {0x10, 0x00, 0x00, 0x02, 0x01, 0xD3}}));
  EXPECT_EQ(result.output, device.Reader().RepliesSent().back().bytes);  // four challenge bytes and 90 00
  EXPECT_EQ(result.output.size(), 10u);
  // The reader refuses the next: its transfer state then reads 3.
  device.Reader().ScriptFault(emu::ReplyFault::ErrorReply());
  EXPECT_EQ(device.Control(Pass, apdu, 512).status, STATUS_IO_DEVICE_ERROR);
  // A card frame of 0x10020 bytes goes out whole.
  const Bytes longest = emu::BuildOldFrame(0x51, Bytes(PassThroughCardFrameMax - 4, 0x00));
  device.ClearTrace();
  device.Control(Pass, longest, PassThroughCardFrameMax);
  EXPECT_EQ(device.Written().at(0), longest);
}

// A device with a card, the reader powered, its requests served as `dispatch` says.
std::unique_ptr<ReaderDevice> ServedDevice(ReaderDevice::Dispatch dispatch) {
  auto reader = std::make_shared<emu::Reader>(readertest::ReaderWithFirmware("2.27"));
  reader->InsertCard(readertest::DualProtocolCard());
  auto device = std::make_unique<ReaderDevice>(reader, dispatch);
  device->ReaderExtension().ReaderPowerState = ReaderPowered;
  return device;
}

// While a tracking request waits, the presence poll reads the reader's
// status every 500 ms. Vendor requests come straight from the library here.
TEST(ReaderLock, KeepsVendorRequestsAndThePresencePollApart) {
  auto device = ServedDevice(ReaderDevice::Dispatch::Library);
  emu::Reader& reader = device->Reader();
  auto absent = kernel::StartDeviceIoControl(nullptr, IOCTL_SMARTCARD_IS_ABSENT, {}, 0, false, device->Device());
  // The poll's next status command is answered 300 ms late. A port request
  // sent meanwhile waits for the reader: nothing of it comes between the
  // poll's command and its reply.
  reader.ScriptFault(emu::ReplyFault::Delay(300 * Ms));
  device->ClearTrace();
  const auto frames = reader.Counters().framesReceived;
  for (int ms = 0; ms < 1000 && reader.Counters().framesReceived == frames; ++ms) kernel::SleepFor(Ms);
  EXPECT_EQ(device->Control(IOCTL_VENDOR_RESET_PORT, {}, 0).status, STATUS_SUCCESS);
  const auto kinds = [&] {
    std::vector<Kind> seen;
    for (const usb::TraceEntry& entry : device->Port().Trace()) seen.push_back(entry.kind);
    return seen;
  };
  EXPECT_EQ(kinds(), (std::vector{Kind::BulkOut, Kind::BulkIn, Kind::PortStatus}));
  // Only a port connected but not enabled is reset.
  reader.DisablePort();
  device->ClearTrace();
  EXPECT_EQ(device->Control(IOCTL_VENDOR_RESET_PORT, {}, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(kinds(), (std::vector{Kind::PortStatus, Kind::PortReset}));
  EXPECT_EQ(reader.Counters().portResets, 1u);

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
  auto device = ServedDevice(ReaderDevice::Dispatch::Driver);  // the driver's own gate in front of the library
  emu::Reader& reader = device->Reader();
  const UCHAR s = device->Context().SequenceByte, t = s ^ 0x40;
  device->ClearTrace();
  GetParam()(reader);
  EXPECT_FALSE(NT_SUCCESS(device->Control(IOCTL_VENDOR_COMMAND_B0, Bytes{0x01}, 2).status));
  EXPECT_EQ(device->Control(IOCTL_VENDOR_GET_VERSION, {}, 8).output.at(7), 0x27);
  EXPECT_EQ(device->Control(IOCTL_VENDOR_COMMAND_B0, Bytes{0x01}, 2).status, STATUS_SUCCESS);
  const Bytes b0 = {0x01, 0xB0, 0x00, 0x01};
  EXPECT_EQ(device->Written(),
            (std::vector{NewFrame(b0, s), NewFrame({0x01, 0x31}, t), NewFrame({0x01, 0xC0}, s), NewFrame(b0, t)}));
  EXPECT_EQ(reader.QueuedReplies(), 0u);

  // A reader that falls silent with a reply maybe left: the status command
  // reading past it is not answered, and the poll takes that, as any status
  // command that times out, for a reader without a card.
  GetParam()(reader);
  EXPECT_FALSE(NT_SUCCESS(device->Control(IOCTL_VENDOR_COMMAND_B0, Bytes{0x01}, 2).status));
  reader.GoSilentFromFrame(reader.Counters().framesReceived + 1);
  auto absent = kernel::StartDeviceIoControl(nullptr, IOCTL_SMARTCARD_IS_ABSENT, {}, 0, false, device->Device());
  EXPECT_EQ(absent->Wait(20 * kernel::kSecond).status, STATUS_SUCCESS);
  absent->Cancel();
  absent->Wait();
}

INSTANTIATE_TEST_SUITE_P(FailedReadOrLateReply, LeftReply,
                         testing::Values([](emu::Reader& r) { r.FailNextBulkIn(); },
                                         // Past the 7 s bound of the read that waits for it.
                                         [](emu::Reader& r) { r.ScriptFault(emu::ReplyFault::Delay(8'000 * Ms)); }),
                         [](const auto& info) { return info.index == 0 ? "FailedRead" : "LateReply"; });

}  // namespace
