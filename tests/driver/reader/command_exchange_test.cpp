// The transport through the emulated reader: what BulkTransfer and
// CommandExchange put on the bus, how they gather a reply, and how they end
// with a reader that answers badly or a device they may not use.
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

const Bytes NewStatus = {0x12, 0x00, 0x02, 0x01, 0x31, 0x20};
const Bytes OldStatus = {0x10, 0x00, 0x00, 0x02, 0x01, 0x31};

NTSTATUS Exchange(ReaderDevice& device, const Bytes& frame) {
  DeviceContext& context = device.Context();
  AcquireReaderLock(&context);
  device.LoadExchange(frame);
  context.ExchangeTimeout = ReaderCommandTimeout;
  const NTSTATUS status = CommandExchange(device.Device(), ReaderCommandBounded);
  ReleaseReaderLock(&context);
  return status;
}

TEST(CommandExchange, EndsAFrameThatFillsItsLastPacketWithAZeroLengthPacket) {
  ReaderDevice device;
  for (const std::size_t length : {63u, 64u, 65u, 128u}) {
    device.ClearTrace();
    // 01 31 and zero filler: the reader refuses the surplus with its error reply.
    Bytes information(length - 4, 0x00);
    information[0] = 0x01;
    information[1] = 0x31;
    const Bytes frame = emu::BuildNewFrame(0x12, 0x00, information);
    EXPECT_EQ(Exchange(device, frame), STATUS_SUCCESS) << length;
    std::vector<Bytes> expected{frame};
    if (length % 64 == 0) expected.push_back({});
    EXPECT_EQ(device.Written(), expected) << length;
    EXPECT_EQ(device.Context().ExchangeLength, device.Context().ExchangeBuffer[2] + 4u) << length;
  }
}

TEST(CommandExchange, GathersAReplyThatArrivesInPieces) {
  const struct {
    const char* firmware;
    emu::ReplyFault fault;
    Bytes frame;
    std::size_t first, second;
  } cases[] = {
      // No length can be read from three bytes: the loop goes on.
      {"2.27", emu::ReplyFault::Split({3}), NewStatus, 3, 6},
      // 00 01 02 = 258 bytes announced: a full read of 256 and a short one.
      {"1.50", emu::ReplyFault::Oversized(258), OldStatus, 256, 6},
  };
  for (const auto& c : cases) {
    ReaderDevice device(ReaderWithFirmware(c.firmware));
    device.Reader().ScriptFault(c.fault);
    device.ClearTrace();
    EXPECT_EQ(Exchange(device, c.frame), STATUS_SUCCESS) << c.firmware;
    const std::vector<Bytes> pieces = device.ReadPieces();
    ASSERT_EQ(pieces.size(), 2u) << c.firmware;
    EXPECT_EQ(pieces[0].size(), c.first) << c.firmware;
    EXPECT_EQ(pieces[1].size(), c.second) << c.firmware;
    Bytes whole = pieces[0];
    whole.insert(whole.end(), pieces[1].begin(), pieces[1].end());
    EXPECT_EQ(device.ExchangeBytes(), whole) << c.firmware;
  }
}

TEST(CommandExchange, EndsAsTheReaderLetsIt) {
  const struct {
    const char* what;
    const char* firmware;
    void (*arrange)(emu::Reader&);
    NTSTATUS status;
    ULONG kept;     // ExchangeLength after the exchange
    std::size_t queued;  // a reply the reader still holds: the next exchange reads past it
  } cases[] = {
      {"nothing arrives", "2.27", [](emu::Reader& r) { r.ScriptFault(emu::ReplyFault::NoReply()); }, STATUS_TIMEOUT, 0, 0},
      {"a reply shorter than it announces", "2.27", [](emu::Reader& r) { r.ScriptFault(emu::ReplyFault::Truncate(5)); },
       STATUS_TIMEOUT, 5, 0},
      {"the write fails", "2.27", [](emu::Reader& r) { r.FailNextBulkOut(); }, STATUS_UNSUCCESSFUL, 6, 0},
      {"the read fails", "2.27",
       [](emu::Reader& r) {
         r.FailNextBulkIn(usb::TransferFailure{STATUS_DEVICE_DATA_ERROR, USBD_STATUS_DEV_NOT_RESPONDING});
       },
       STATUS_DEVICE_DATA_ERROR, 0, 1},
      {"a reply of exactly the buffer", "1.50",
       [](emu::Reader& r) { r.ScriptFault(emu::ReplyFault::Oversized(ExchangeBufferSize - 4)); }, STATUS_SUCCESS,
       ExchangeBufferSize, 0},
      // Only the first read is kept; the rest is read and dropped.
      {"a reply one byte longer", "1.50",
       [](emu::Reader& r) { r.ScriptFault(emu::ReplyFault::Oversized(ExchangeBufferSize - 3)); },
       STATUS_DEVICE_DATA_ERROR, 256, 0},
      {"a reply announcing far more", "1.50", [](emu::Reader& r) { r.ScriptFault(emu::ReplyFault::Oversized(0x020000)); },
       STATUS_DEVICE_DATA_ERROR, 256, 0},
  };
  for (const auto& c : cases) {
    ReaderDevice device(ReaderWithFirmware(c.firmware));
    device.Reader().SetZeroLengthWhenIdle(true);
    c.arrange(device.Reader());
    const LONGLONG before = kernel::Now();
    EXPECT_EQ(Exchange(device, std::string_view(c.firmware) == "1.50" ? OldStatus : NewStatus), c.status) << c.what;
    EXPECT_EQ(device.Context().ExchangeLength, c.kept) << c.what;
    if (c.status == STATUS_TIMEOUT) {
      EXPECT_GT(kernel::Now() - before, ReaderCommandTimeout) << c.what;
    }
    EXPECT_EQ(device.Reader().QueuedReplies(), c.queued) << c.what;
  }
}

TEST(BulkTransfer, SendsNothingToADeviceItMayNotUse) {
  ReaderDevice device;
  DeviceContext& context = device.Context();
  AcquireReaderLock(&context);  // as the driver's callers: the presence poll exchanges too
  device.ClearTrace();
  const struct {
    const char* what;
    UCHAR DeviceContext::*flag;
    UCHAR value;
  } states[] = {
      {"not started", &DeviceContext::DeviceStarted, 0},
      {"removed", &DeviceContext::DeviceRemoved, 1},
      {"remove pending", &DeviceContext::RemovePending, 1},
      {"stop pending", &DeviceContext::StopPending, 1},
  };
  for (const auto& s : states) {
    const UCHAR saved = context.*s.flag;
    context.*s.flag = s.value;
    context.ExchangeLength = 6;
    EXPECT_EQ(BulkTransfer(device.Device(), TransferWrite, 0), STATUS_DELETE_PENDING) << s.what;
    EXPECT_EQ(BulkTransfer(device.Device(), TransferRead, 0), STATUS_DELETE_PENDING) << s.what;
    EXPECT_EQ(context.ExchangeLength, 6u) << s.what;
    context.*s.flag = saved;
  }
  // Never a byte outside ExchangeBuffer: a read lands at ReceiveOffset, and the two together must fit.
  context.ExchangeLength = ExchangeBufferSize + 1;
  EXPECT_EQ(BulkTransfer(device.Device(), TransferWrite, 0), STATUS_INVALID_PARAMETER);
  context.ReceiveOffset = ExchangeBufferSize - 255;
  context.ExchangeLength = 256;
  EXPECT_EQ(BulkTransfer(device.Device(), TransferRead, 0), STATUS_INVALID_PARAMETER);

  // One bulk IN and one bulk OUT pipe, no fewer.
  USBD_PIPE_INFORMATION& second = context.InterfaceInformation->Pipes[1];
  const USBD_PIPE_INFORMATION saved = second;
  const USHORT length = context.InterfaceInformation->Length;
  context.ExchangeLength = 6;
  second.EndpointAddress = context.InterfaceInformation->Pipes[0].EndpointAddress;  // two of one direction
  EXPECT_EQ(BulkTransfer(device.Device(), TransferWrite, 0), STATUS_INVALID_DEVICE_STATE);
  second = saved;
  second.PipeType = UsbdPipeTypeInterrupt;
  EXPECT_EQ(BulkTransfer(device.Device(), TransferWrite, 0), STATUS_INVALID_DEVICE_STATE);
  second = saved;
  context.InterfaceInformation->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(1));
  EXPECT_EQ(BulkTransfer(device.Device(), TransferWrite, 0), STATUS_INVALID_DEVICE_STATE);
  context.InterfaceInformation->Length = length;

  // An exhausted pool is logged.
  kernel::pool::FailTag(DriverPoolTag, true);
  EXPECT_EQ(BulkTransfer(device.Device(), TransferWrite, 0), STATUS_INSUFFICIENT_RESOURCES);
  kernel::pool::FailTag(DriverPoolTag, false);
  const std::vector<smclib::EventLogEntry> log = smclib::EventLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].object, device.Device());
  EXPECT_EQ(log[0].code, NTSTATUS_VALUE(0xC0100003));
  EXPECT_EQ(context.ExchangeLength, 6u);
  EXPECT_TRUE(device.Port().Trace().empty());
  ReleaseReaderLock(&context);
}

TEST(BulkTransfer, FindsItsPipesInEitherOrderAndRefusesAReaderWithOne) {
  emu::ReaderConfig config = ReaderWithFirmware("2.27");
  config.endpointOrder = emu::EndpointOrder::BulkOutFirst;
  {
    ReaderDevice device(config);
    EXPECT_EQ(device.Context().InterfaceInformation->Pipes[0].EndpointAddress & 0x80, 0);
    EXPECT_EQ(device.StartStatus(), STATUS_SUCCESS);
    EXPECT_EQ(device.Context().FirmwareVersion, 0x227);
  }
  config.endpointCount = 1;
  ReaderDevice device(config);
  EXPECT_EQ(device.StartStatus(), STATUS_DEVICE_DATA_ERROR);
  EXPECT_TRUE(device.Written().empty());
}

TEST(BulkTransfer, WaitsSevenSecondsWhenBoundedAndAsLongAsTheBusTakesOtherwise) {
  for (const UCHAR bounded : {UCHAR{1}, UCHAR{0}}) {
    ReaderDevice device;
    device.Reader().ScriptFault(emu::ReplyFault::Withhold());
    DeviceContext& context = device.Context();
    device.LoadExchange(NewStatus);
    ASSERT_EQ(BulkTransfer(device.Device(), TransferWrite, bounded), STATUS_SUCCESS);
    const LONGLONG before = kernel::Now();
    kernel::SystemThread releaser("releaser", [&] {
      kernel::SleepFor(20 * kernel::kSecond);
      device.Reader().ReleaseWithheldReply();
    });
    context.ReceiveOffset = 0;
    context.ExchangeLength = 256;
    const NTSTATUS status = BulkTransfer(device.Device(), TransferRead, bounded);
    if (bounded) {
      EXPECT_EQ(status, STATUS_TIMEOUT);
      EXPECT_EQ(kernel::Now() - before, 7 * kernel::kSecond);
      EXPECT_EQ(context.ExchangeLength, 0u);  // what the cancelled transfer moved
      EXPECT_EQ(device.Port().ParkedTransfers(), 0u);
    } else {
      EXPECT_EQ(status, STATUS_SUCCESS);
      EXPECT_GE(kernel::Now() - before, 20 * kernel::kSecond);
      EXPECT_EQ(context.ExchangeLength, 9u);
    }
    releaser.Join();
  }
}

}  // namespace
