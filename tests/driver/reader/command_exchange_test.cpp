// The transport through the emulated reader: what BulkTransfer and
// CommandExchange put on the bus, how they gather a reply, and how they end
// with a reader that answers badly or a device they may not use.
#include <gtest/gtest.h>

#include <algorithm>

#include "emulator/reader/frame.h"
#include "driver/reader/reader_commands.h"
#include "driver/reader/reader_lock.h"
#include "driver/reader/transport.h"
#include "platform/smclib/event_log.h"
#include "tests/fixture/reader_device.h"

namespace {

using readertest::Bytes;
using readertest::ReaderDevice;
using Fault = emu::ReplyFault;

const Bytes NewStatus = {0x12, 0x00, 0x02, 0x01, 0x31, 0x20};

// Under ReaderLock, as the driver's own callers: the presence poll exchanges too.
NTSTATUS Exchange(ReaderDevice& device, const Bytes& frame) {
  AcquireReaderLock(&device.Context());
  device.LoadExchange(frame);
  device.Context().ExchangeTimeout = ReaderCommandTimeout;
  const NTSTATUS status = CommandExchange(device.Device(), ReaderCommandBounded);
  ReleaseReaderLock(&device.Context());
  return status;
}

TEST(CommandExchange, EndsAFrameThatFillsItsLastPacketWithAZeroLengthPacket) {
  ReaderDevice device;
  for (const std::size_t length : {63u, 64u, 65u, 128u}) {
    device.ClearTrace();
    Bytes information(length - 4, 0x00);  // 01 31 and filler the reader refuses with its error reply
    information[0] = 0x01;
    information[1] = 0x31;
    const Bytes frame = emu::BuildNewFrame(0x12, 0x00, information);
    EXPECT_EQ(Exchange(device, frame), STATUS_SUCCESS) << length;
    EXPECT_EQ(device.Written(), (length % 64 ? std::vector<Bytes>{frame} : std::vector<Bytes>{frame, {}})) << length;
    EXPECT_EQ(device.Context().ExchangeLength, device.Context().ExchangeBuffer[2] + 4u) << length;
  }
}

struct Ending {
  const char* what;
  bool old;  // a reader of the old generation
  void (*arrange)(emu::Reader&);
  NTSTATUS status;
  std::size_t first, received;  // bytes of the first read that brought data, and of all
  ULONG kept;                   // ExchangeLength after the exchange
  std::size_t left;             // replies still in the reader: the next exchange reads past them
};

TEST(CommandExchange, GathersTheReplyOrEndsAsTheReaderLetsIt) {
  const Ending cases[] = {
      {"split after 3 bytes, no length yet", false, [](emu::Reader& r) { r.ScriptFault(Fault::Split({3})); },
       STATUS_SUCCESS, 3, 9, 9, 0},
      {"258 bytes announced: a full read and a short one", true,
       [](emu::Reader& r) { r.ScriptFault(Fault::Oversized(258)); }, STATUS_SUCCESS, 256, 262, 262, 0},
      {"nothing arrives", false, [](emu::Reader& r) { r.ScriptFault(Fault::NoReply()); }, STATUS_TIMEOUT, 0, 0, 0, 0},
      {"shorter than announced", false, [](emu::Reader& r) { r.ScriptFault(Fault::Truncate(5)); }, STATUS_TIMEOUT, 5,
       5, 5, 0},
      {"the write fails", false, [](emu::Reader& r) { r.FailNextBulkOut(); }, STATUS_UNSUCCESSFUL, 0, 0, 6, 0},
      {"the read fails", false, [](emu::Reader& r) { r.FailNextBulkIn(); }, STATUS_UNSUCCESSFUL, 0, 0, 0, 1},
      {"exactly the buffer", true, [](emu::Reader& r) { r.ScriptFault(Fault::Oversized(ExchangeBufferSize - 4)); },
       STATUS_SUCCESS, 256, ExchangeBufferSize, ExchangeBufferSize, 0},
      // Only the first read is kept; the rest is read and dropped.
      {"one byte more", true, [](emu::Reader& r) { r.ScriptFault(Fault::Oversized(ExchangeBufferSize - 3)); },
       STATUS_DEVICE_DATA_ERROR, 256, ExchangeBufferSize + 1, 256, 0},
  };
  for (const Ending& c : cases) {
    ReaderDevice device(readertest::ReaderWithFirmware(c.old ? "1.50" : "2.27"));
    device.Reader().SetZeroLengthWhenIdle(true);
    c.arrange(device.Reader());
    device.ClearTrace();
    const LONGLONG before = kernel::Now();
    EXPECT_EQ(Exchange(device, c.old ? Bytes{0x10, 0x00, 0x00, 0x02, 0x01, 0x31} : NewStatus), c.status) << c.what;
    const std::vector<Bytes> pieces = device.ReadPieces();
    Bytes whole;
    for (const Bytes& piece : pieces) whole.insert(whole.end(), piece.begin(), piece.end());
    const Bytes kept = device.ExchangeBytes();
    const std::size_t n = std::min(kept.size(), whole.size());  // what was kept is what came first
    EXPECT_EQ(Bytes(kept.begin(), kept.begin() + n), Bytes(whole.begin(), whole.begin() + n)) << c.what;
    EXPECT_EQ((std::vector<std::size_t>{pieces.empty() ? 0 : pieces[0].size(), whole.size(), kept.size(),
                                        device.Reader().QueuedReplies()}),
              (std::vector<std::size_t>{c.first, c.received, c.kept, c.left}))
        << c.what;
    EXPECT_EQ(kernel::Now() - before > ReaderCommandTimeout, c.status == STATUS_TIMEOUT) << c.what;
  }
}

TEST(BulkTransfer, MovesNothingOnADeviceItMayNotUseOrOutsideTheExchangeBuffer) {
  ReaderDevice device;
  DeviceContext& context = device.Context();
  AcquireReaderLock(&context);
  device.ClearTrace();
  for (UCHAR DeviceContext::*flag : {&DeviceContext::DeviceRemoved, &DeviceContext::RemovePending,
                                     &DeviceContext::StopPending, &DeviceContext::DeviceStarted}) {
    context.*flag ^= 1;  // removed, remove pending, stop pending, not started
    context.ExchangeLength = 6;
    EXPECT_EQ(BulkTransfer(device.Device(), TransferWrite, 0), STATUS_DELETE_PENDING);
    EXPECT_EQ(BulkTransfer(device.Device(), TransferRead, 0), STATUS_DELETE_PENDING);
    EXPECT_EQ(context.ExchangeLength, 6u);
    context.*flag ^= 1;
  }
  context.ExchangeLength = ExchangeBufferSize + 1;
  EXPECT_EQ(BulkTransfer(device.Device(), TransferWrite, 0), STATUS_INVALID_PARAMETER);
  context.ReceiveOffset = ExchangeBufferSize - 255;  // a read lands there: the two together must fit
  context.ExchangeLength = 256;
  EXPECT_EQ(BulkTransfer(device.Device(), TransferRead, 0), STATUS_INVALID_PARAMETER);
  context.ExchangeLength = 6;
  kernel::pool::FailTag(DriverPoolTag, true);  // an exhausted pool is logged
  EXPECT_EQ(BulkTransfer(device.Device(), TransferWrite, 0), STATUS_INSUFFICIENT_RESOURCES);
  kernel::pool::FailTag(DriverPoolTag, false);
  ASSERT_EQ(smclib::EventLog().size(), 1u);
  EXPECT_EQ(smclib::EventLog()[0].code, NTSTATUS_VALUE(0xC0100003));
  EXPECT_TRUE(device.Port().Trace().empty());
  ReleaseReaderLock(&context);
}

}  // namespace
