// The transport through the emulated reader: what BulkTransfer and
// CommandExchange put on the bus, how they gather a reply, and how they
// refuse.
#include <gtest/gtest.h>

#include "emulator/reader/frame.h"
#include "driver/reader/reader_commands.h"
#include "driver/reader/reader_lock.h"
#include "driver/reader/transport.h"
#include "platform/smclib/event_log.h"
#include "tests/fixture/reader_device.h"

namespace {

using readertest::Bytes;
using readertest::ReaderDevice;
using readertest::ReaderWithFirmware;

// A new-generation frame of the given total length: address 0x12, control 0,
// N = length - 4, 01 31 and zero filler, check byte. The reader refuses the
// surplus parameters with its 8-byte error reply, which is all these tests need.
Bytes NewFrameOfLength(std::size_t length) {
  Bytes info(length - 4, 0x00);
  info[0] = 0x01;
  info[1] = 0x31;
  return emu::BuildNewFrame(0x12, 0x00, info);
}

NTSTATUS Exchange(ReaderDevice& device, const Bytes& frame, UCHAR bounded = 0) {
  DeviceContext& context = device.Context();
  AcquireReaderLock(&context);
  device.LoadExchange(frame);
  context.ExchangeTimeout = ReaderCommandTimeout;
  const NTSTATUS status = CommandExchange(device.Device(), bounded);
  ReleaseReaderLock(&context);
  return status;
}

TEST(CommandExchange, EndsAFrameThatFillsItsLastPacketWithAZeroLengthPacket) {
  ReaderDevice device;
  for (const std::size_t length : {6u, 63u, 64u, 65u, 127u, 128u, 192u}) {
    device.ClearTrace();
    const Bytes frame = NewFrameOfLength(length);
    EXPECT_EQ(Exchange(device, frame), STATUS_SUCCESS) << length;
    std::vector<Bytes> expected{frame};
    if (length % 64 == 0) expected.push_back({});
    EXPECT_EQ(device.Written(), expected) << length;
    // The reply came back after the write phase, whole.
    EXPECT_EQ(device.Context().ExchangeLength, device.Context().ExchangeBuffer[2] + 4u) << length;
  }
}

TEST(CommandExchange, GathersAReplyThatArrivesInPieces) {
  ReaderDevice device;
  ASSERT_EQ(GetReaderStatus(device.Device()), STATUS_SUCCESS);  // sets the reader up
  device.Reader().ScriptFault(emu::ReplyFault::Split({3}));
  device.ClearTrace();
  // 12 s 02 01 31 c: the status command; its reply is 9 bytes, 01 31 <status> 90 00 inside.
  ASSERT_EQ(GetReaderStatus(device.Device()), STATUS_SUCCESS);
  const std::vector<Bytes> pieces = device.ReadPieces();
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0].size(), 3u);  // no length can be read from three bytes: the loop goes on
  EXPECT_EQ(pieces[1].size(), 6u);
  Bytes whole = pieces[0];
  whole.insert(whole.end(), pieces[1].begin(), pieces[1].end());
  EXPECT_EQ(device.ExchangeBytes(), whole);
}

TEST(CommandExchange, StoresAnOldGenerationReplyOfTwoReadsBehindItsFirstPart) {
  ReaderDevice device(ReaderWithFirmware("1.50"));
  ASSERT_EQ(device.Context().FirmwareVersion, 0x150);
  // The reply announces 00 01 02 = 258 bytes: 262 in all, over a full read and a short one.
  device.Reader().ScriptFault(emu::ReplyFault::Oversized(258));
  device.ClearTrace();
  EXPECT_EQ(Exchange(device, {0x10, 0x00, 0x00, 0x02, 0x01, 0x31}), STATUS_SUCCESS);
  const std::vector<Bytes> pieces = device.ReadPieces();
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0].size(), 256u);
  EXPECT_EQ(pieces[1].size(), 6u);
  Bytes whole = pieces[0];
  whole.insert(whole.end(), pieces[1].begin(), pieces[1].end());
  EXPECT_EQ(device.ExchangeBytes(), whole);
  EXPECT_EQ(Bytes(whole.begin() + 1, whole.begin() + 4), (Bytes{0x00, 0x01, 0x02}));
}

TEST(CommandExchange, TimesOutWhenNothingArrives) {
  ReaderDevice device;
  device.Reader().SetZeroLengthWhenIdle(true);
  device.Reader().ScriptFault(emu::ReplyFault::NoReply());
  const LONGLONG before = kernel::Now();
  EXPECT_EQ(Exchange(device, {0x12, 0x00, 0x02, 0x01, 0x31, 0x20}), STATUS_TIMEOUT);
  EXPECT_EQ(device.Context().ExchangeLength, 0u);
  EXPECT_GT(kernel::Now() - before, ReaderCommandTimeout);
}

TEST(CommandExchange, TimesOutOnAReplyShorterThanItAnnounces) {
  ReaderDevice device;
  device.Reader().SetZeroLengthWhenIdle(true);
  device.Reader().ScriptFault(emu::ReplyFault::Truncate(5));
  EXPECT_EQ(Exchange(device, {0x12, 0x00, 0x02, 0x01, 0x31, 0x20}), STATUS_TIMEOUT);
  EXPECT_EQ(device.Context().ExchangeLength, 5u);
}

TEST(CommandExchange, TakesAReplyOfExactlyTheBufferAndRefusesOneByteMore) {
  ReaderDevice device(ReaderWithFirmware("1.50"));
  ASSERT_EQ(GetReaderStatus(device.Device()), STATUS_SUCCESS);  // sets the reader up
  const Bytes status = {0x10, 0x00, 0x00, 0x02, 0x01, 0x31};

  device.Reader().ScriptFault(emu::ReplyFault::Oversized(ExchangeBufferSize - 4));
  EXPECT_EQ(Exchange(device, status), STATUS_SUCCESS);
  EXPECT_EQ(device.Context().ExchangeLength, ExchangeBufferSize);

  device.Reader().ScriptFault(emu::ReplyFault::Oversized(ExchangeBufferSize - 3));
  EXPECT_EQ(Exchange(device, status), STATUS_DEVICE_DATA_ERROR);
  // Only the first read is kept; the rest was read and dropped, so the next
  // command gets its own reply.
  EXPECT_EQ(device.Context().ExchangeLength, 256u);
  EXPECT_EQ(device.Reader().QueuedReplies(), 0u);
  EXPECT_EQ(GetReaderStatus(device.Device()), STATUS_SUCCESS);
  EXPECT_EQ(device.ExchangeBytes(), (Bytes{0x10, 0x00, 0x00, 0x05, 0x01, 0x31, device.Context().ReaderStatus, 0x90, 0x00}));
}

TEST(CommandExchange, RefusesAReplyAnnouncingFarMoreThanTheBuffer) {
  ReaderDevice device(ReaderWithFirmware("1.50"));
  device.Reader().ScriptFault(emu::ReplyFault::Oversized(0x020000));
  EXPECT_EQ(Exchange(device, {0x10, 0x00, 0x00, 0x02, 0x01, 0x31}), STATUS_DEVICE_DATA_ERROR);
  EXPECT_LE(device.Context().ExchangeLength, 256u);
}

TEST(CommandExchange, ReturnsAFailedTransferAtOnce) {
  ReaderDevice device;
  device.Reader().FailNextBulkOut();
  device.ClearTrace();
  EXPECT_EQ(Exchange(device, {0x12, 0x00, 0x02, 0x01, 0x31, 0x20}), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(device.ReadPieces().empty());

  device.Reader().FailNextBulkIn(usb::TransferFailure{STATUS_DEVICE_DATA_ERROR, USBD_STATUS_DEV_NOT_RESPONDING});
  EXPECT_EQ(Exchange(device, {0x12, 0x00, 0x02, 0x01, 0x31, 0x20}), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(device.Context().ExchangeLength, 0u);
}

TEST(BulkTransfer, SendsNothingToADeviceThatIsNotUsable) {
  ReaderDevice device;
  DeviceContext& context = device.Context();
  struct {
    const char* what;
    UCHAR DeviceContext::*flag;
    UCHAR value;
  } const cases[] = {
      {"not started", &DeviceContext::DeviceStarted, 0},
      {"removed", &DeviceContext::DeviceRemoved, 1},
      {"remove pending", &DeviceContext::RemovePending, 1},
      {"stop pending", &DeviceContext::StopPending, 1},
  };
  for (const auto& c : cases) {
    device.ClearTrace();
    const UCHAR saved = context.*c.flag;
    context.*c.flag = c.value;
    EXPECT_FALSE(IsDeviceUsable(device.Device())) << c.what;
    context.ExchangeLength = 6;
    EXPECT_EQ(BulkTransfer(device.Device(), TransferWrite, 0), STATUS_DELETE_PENDING) << c.what;
    EXPECT_EQ(BulkTransfer(device.Device(), TransferRead, 0), STATUS_DELETE_PENDING) << c.what;
    EXPECT_EQ(context.ExchangeLength, 6u) << c.what;
    EXPECT_TRUE(device.Port().Trace().empty()) << c.what;
    context.*c.flag = saved;
  }
  EXPECT_TRUE(IsDeviceUsable(device.Device()));
}

TEST(BulkTransfer, NeverMovesBytesOutsideTheExchangeBuffer) {
  ReaderDevice device;
  DeviceContext& context = device.Context();
  device.ClearTrace();
  context.ExchangeLength = ExchangeBufferSize + 1;
  EXPECT_EQ(BulkTransfer(device.Device(), TransferWrite, 0), STATUS_INVALID_PARAMETER);
  // A read lands at ReceiveOffset: the two together must stay inside.
  context.ReceiveOffset = ExchangeBufferSize - 255;
  context.ExchangeLength = 256;
  EXPECT_EQ(BulkTransfer(device.Device(), TransferRead, 0), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(device.Port().Trace().empty());
}

TEST(BulkTransfer, NeedsOneBulkInAndOneBulkOutPipe) {
  emu::ReaderConfig onePipe = ReaderWithFirmware("2.27");
  onePipe.endpointCount = 1;
  {
    ReaderDevice device(onePipe);
    EXPECT_EQ(device.StartStatus(), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(device.Context().InterfaceInformation->NumberOfPipes, 1u);
    EXPECT_TRUE(device.Written().empty());
  }
  {
    ReaderDevice device;
    DeviceContext& context = device.Context();
    // As the driver's own callers, under ReaderLock: the presence poll exchanges too.
    AcquireReaderLock(&context);
    device.ClearTrace();
    USBD_PIPE_INFORMATION& second = context.InterfaceInformation->Pipes[1];
    const UCHAR address = second.EndpointAddress;
    second.EndpointAddress = context.InterfaceInformation->Pipes[0].EndpointAddress;  // two of one direction
    context.ExchangeLength = 6;
    EXPECT_EQ(BulkTransfer(device.Device(), TransferWrite, 0), STATUS_INVALID_DEVICE_STATE);
    second.EndpointAddress = address;
    second.PipeType = UsbdPipeTypeInterrupt;
    EXPECT_EQ(BulkTransfer(device.Device(), TransferWrite, 0), STATUS_INVALID_DEVICE_STATE);
    second.PipeType = UsbdPipeTypeBulk;
    const USHORT length = context.InterfaceInformation->Length;
    context.InterfaceInformation->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(1));
    EXPECT_EQ(BulkTransfer(device.Device(), TransferWrite, 0), STATUS_INVALID_DEVICE_STATE);
    context.InterfaceInformation->Length = length;
    EXPECT_TRUE(device.Port().Trace().empty());
    ReleaseReaderLock(&context);
  }
}

TEST(BulkTransfer, ChoosesThePipeByTheFirstPipesDirection) {
  emu::ReaderConfig outFirst = ReaderWithFirmware("2.27");
  outFirst.endpointOrder = emu::EndpointOrder::BulkOutFirst;
  ReaderDevice device(outFirst);
  EXPECT_EQ(device.Context().InterfaceInformation->Pipes[0].EndpointAddress & 0x80, 0);
  EXPECT_EQ(device.StartStatus(), STATUS_SUCCESS);
  EXPECT_EQ(device.Context().FirmwareVersion, 0x227);
}

TEST(BulkTransfer, LogsAnExhaustedPool) {
  ReaderDevice device;
  device.ClearTrace();
  device.Context().ExchangeLength = 6;
  kernel::pool::FailTag(DriverPoolTag, true);
  const NTSTATUS status = BulkTransfer(device.Device(), TransferWrite, 0);
  kernel::pool::FailTag(DriverPoolTag, false);
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(device.Context().ExchangeLength, 6u);
  const std::vector<smclib::EventLogEntry> log = smclib::EventLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].object, device.Device());
  EXPECT_EQ(log[0].code, NTSTATUS_VALUE(0xC0100003));
  EXPECT_TRUE(device.Port().Trace().empty());
}

TEST(BulkTransfer, GivesUpAfterSevenSecondsWhenBounded) {
  ReaderDevice device;
  device.Reader().ScriptFault(emu::ReplyFault::Withhold());
  DeviceContext& context = device.Context();
  device.LoadExchange(Bytes{0x12, 0x00, 0x02, 0x01, 0x31, 0x20});
  ASSERT_EQ(BulkTransfer(device.Device(), TransferWrite, 1), STATUS_SUCCESS);
  context.ReceiveOffset = 0;
  context.ExchangeLength = 256;
  const LONGLONG before = kernel::Now();
  EXPECT_EQ(BulkTransfer(device.Device(), TransferRead, 1), STATUS_TIMEOUT);
  EXPECT_EQ(kernel::Now() - before, 7 * kernel::kSecond);
  EXPECT_EQ(context.ExchangeLength, 0u);  // what the cancelled transfer moved
  EXPECT_EQ(device.Port().ParkedTransfers(), 0u);
}

TEST(BulkTransfer, WaitsAsLongAsTheBusDriverTakesWhenUnbounded) {
  ReaderDevice device;
  device.Reader().ScriptFault(emu::ReplyFault::Withhold());
  DeviceContext& context = device.Context();
  device.LoadExchange(Bytes{0x12, 0x00, 0x02, 0x01, 0x31, 0x20});
  ASSERT_EQ(BulkTransfer(device.Device(), TransferWrite, 0), STATUS_SUCCESS);
  const LONGLONG before = kernel::Now();
  kernel::SystemThread releaser("releaser", [&] {
    kernel::SleepFor(20 * kernel::kSecond);
    device.Reader().ReleaseWithheldReply();
  });
  context.ReceiveOffset = 0;
  context.ExchangeLength = 256;
  EXPECT_EQ(BulkTransfer(device.Device(), TransferRead, 0), STATUS_SUCCESS);
  EXPECT_GE(kernel::Now() - before, 20 * kernel::kSecond);
  EXPECT_EQ(context.ExchangeLength, 9u);
  releaser.Join();
}

}  // namespace
