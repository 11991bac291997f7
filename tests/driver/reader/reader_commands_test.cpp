// The reader commands and the transport under them, on the emulated reader:
// the commands' frames byte for byte in both generations, the sequence byte,
// the pauses, how a reply is gathered, and how an exchange ends with a reader
// that answers badly or a device it may not use.
#include <gtest/gtest.h>

#include <algorithm>

#include "emulator/reader/frame.h"
#include "driver/reader/firmware_generation.h"
#include "driver/reader/reader_commands.h"
#include "driver/reader/reader_lock.h"
#include "driver/reader/transport.h"
#include "platform/smclib/event_log.h"
#include "tests/fixture/plugged_reader.h"

namespace {

using readertest::Bytes;
using readertest::ReaderDevice;
using Fault = emu::ReplyFault;
constexpr LONGLONG Ms = kernel::kMillisecond;

Bytes NewCommand(UCHAR sequence, const Bytes& information) { return emu::BuildNewFrame(0x12, sequence, information); }

// A reader with this firmware, set up and holding a card, as after a first status read.
std::unique_ptr<ReaderDevice> SetUpReader(const char* firmware) {
  auto device = std::make_unique<ReaderDevice>(readertest::ReaderWithFirmware(firmware));
  device->InsertCard(readertest::DualProtocolCard());
  EXPECT_EQ(GetReaderStatus(device->Device()), STATUS_SUCCESS);
  device->ClearTrace();
  return device;
}

class ReaderCommands : public testing::TestWithParam<const char*> {};

TEST_P(ReaderCommands, PutTheirFramesOnTheWire) {
  auto r = SetUpReader(GetParam());
  DeviceContext& context = r->Context();
  const bool isNew = FrameGenerationFor(context.FirmwareVersion) == FrameGenerationNew;
  const Bytes atr = r->Reader().CurrentCard()->Atr();
  context.CommandB0Parameter = 0x05;
  context.CommandD8Parameter = 0x07;
  const std::pair<NTSTATUS (*)(PDEVICE_OBJECT), Bytes> commands[] = {
      {GetReaderStatus, {0x01, 0x31}},
      // The reset's parameter byte goes out in the new generation only.
      {[](PDEVICE_OBJECT d) { return ResetCardFor(d, SCARD_COLD_RESET, 0); }, {0x01, 0xD1, 0x00}},
      {GetAtr, {0x01, 0x35, 0x0A, 0x00}},  // two parameters the reader ignores
      {ReadFirmwareVersion, {0x01, 0xC0}},
      {SendCommandB0, {0x01, 0xB0, 0x00, 0x05}},
      {SendCommandD8, {0x01, 0xD8, 0x00, 0x07}},
      {EjectCard, {0x01, 0x39}},
  };
  for (const auto& [run, information] : commands) {
    r->ClearTrace();
    const UCHAR sequence = context.SequenceByte;
    ASSERT_EQ(run(r->Device()), STATUS_SUCCESS) << int{information[1]};
    const Bytes old(information.begin(), information.end() - (information[1] == 0xD1 ? 1 : 0));
    EXPECT_EQ(r->Written(),
              std::vector<Bytes>{isNew ? NewCommand(sequence, information) : emu::BuildOldFrame(0x10, old)});
    // The new generation's control byte alternates with every command.
    EXPECT_EQ(context.SequenceByte, isNew ? sequence ^ 0x40 : sequence) << int{information[1]};
  }
  EXPECT_EQ(r->Reader().LastResetParameter().has_value(), isNew);
  EXPECT_EQ(Bytes(context.AtrBuffer, context.AtrBuffer + atr.size()), atr);
  EXPECT_EQ(context.T1Sequence, 0x50);  // 0xB0 starts a fresh T=1 sequence
}

TEST_P(ReaderCommands, CountAFailedStatusReadAsASetUpReaderWithoutCard) {
  const std::pair<void (*)(ReaderDevice&), NTSTATUS> cases[] = {
      {[](ReaderDevice& d) { d.Reader().FailNextBulkIn({STATUS_DEVICE_DATA_ERROR, USBD_STATUS_DEV_NOT_RESPONDING}); },
       STATUS_DEVICE_DATA_ERROR},
      {[](ReaderDevice& d) { d.Reader().ScriptFault(emu::ReplyFault::Truncate(5)); }, STATUS_TIMEOUT},  // no status
  };
  for (const auto& [arrange, status] : cases) {
    auto r = SetUpReader(GetParam());
    r->Reader().SetZeroLengthWhenIdle(true);
    const UCHAR sequence = r->Context().SequenceByte;
    arrange(*r);
    EXPECT_EQ(GetReaderStatus(r->Device()), status);
    EXPECT_EQ(r->Context().ReaderStatus, 0x20);
    EXPECT_EQ(r->Context().SequenceByte, sequence);  // moves only once the reader answered
    EXPECT_EQ(r->Written().size(), 1u);  // and no set-up sequence
  }
}

INSTANTIATE_TEST_SUITE_P(BothGenerations, ReaderCommands, testing::Values("2.27", "1.50"));

TEST(ResetCard, SendsTheParameterByteTheFirmwareTakesAfterAPauseForACardNotPowered) {
  const std::pair<const char*, Bytes> cases[] = {
      {"2.27", {0x01, 0xD1, 0x03}},  // a warm reset asking for T=1
      {"3.01", {0x01, 0xD1, 0x01}},  // no warm reset on 3.01
  };
  for (const auto& [firmware, information] : cases) {
    auto r = SetUpReader(firmware);
    const UCHAR sequence = r->Context().SequenceByte;
    const LONGLONG before = kernel::Now();
    ASSERT_EQ(ResetCardFor(r->Device(), SCARD_WARM_RESET, 1), STATUS_SUCCESS) << firmware;
    EXPECT_EQ(r->Written(), std::vector<Bytes>{NewCommand(sequence, information)}) << firmware;
    EXPECT_EQ(r->Reader().FramesReceived().at(0).time - before, 500 * Ms);
  }
}

const Bytes NewStatus = {0x12, 0x00, 0x02, 0x01, 0x31, 0x20};

// Under ReaderLock, as the driver's own callers: the presence poll exchanges too.
NTSTATUS Exchange(ReaderDevice& device, const Bytes& frame) {
  EXPECT_EQ(AcquireReaderLock(&device.Context()), STATUS_SUCCESS);
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
    Bytes information = {0x01, 0x31};  // and filler the reader refuses with its error reply
    information.resize(length - 4);
    const Bytes frame = emu::BuildNewFrame(0x12, 0x00, information);
    EXPECT_EQ(Exchange(device, frame), STATUS_SUCCESS) << length;
    EXPECT_EQ(device.Written(), (length % 64 ? std::vector<Bytes>{frame} : std::vector<Bytes>{frame, {}})) << length;
    EXPECT_EQ(device.Context().ExchangeLength, device.Context().ExchangeBuffer[2] + 4u) << length;
  }
}

TEST(CommandExchange, GathersTheReplyOrEndsAsTheReaderLetsIt) {
  // On an old reader or not, the fault, the status; the bytes of the first read that brought data and of
  // all, ExchangeLength after the exchange, replies still in the reader (the next exchange reads past them).
  using Sizes = std::vector<std::size_t>;
  const std::tuple<const char*, bool, void (*)(emu::Reader&), NTSTATUS, Sizes> cases[] = {
      {"split after 3 bytes, no length yet", 0, [](auto& r) { r.ScriptFault(Fault::Split({3})); }, 0, {3, 9, 9, 0}},
      {"258 bytes announced: a full read and a short one", 1, [](auto& r) { r.ScriptFault(Fault::Oversized(258)); },
       0, {256, 262, 262, 0}},
      {"nothing arrives", 0, [](auto& r) { r.ScriptFault(Fault::NoReply()); }, STATUS_TIMEOUT, {0, 0, 0, 0}},
      {"shorter than announced", 0, [](auto& r) { r.ScriptFault(Fault::Truncate(5)); }, STATUS_TIMEOUT, {5, 5, 5, 0}},
      {"the read fails", 0, [](auto& r) { r.FailNextBulkIn(); }, STATUS_UNSUCCESSFUL, {0, 0, 0, 1}},
      {"exactly the buffer", 1, [](auto& r) { r.ScriptFault(Fault::Oversized(ExchangeBufferSize - 4)); }, 0,
       {256, ExchangeBufferSize, ExchangeBufferSize, 0}},
      // Only the first read is kept; the rest is read and dropped.
      {"one byte more", 1, [](auto& r) { r.ScriptFault(Fault::Oversized(ExchangeBufferSize - 3)); },
       STATUS_DEVICE_DATA_ERROR, {256, ExchangeBufferSize + 1, 256, 0}},
  };

  for (const auto& [what, old, arrange, status, sizes] : cases) {
    ReaderDevice device(readertest::ReaderWithFirmware(old ? "1.50" : "2.27"));
    device.Reader().SetZeroLengthWhenIdle(true);
    arrange(device.Reader());
    device.ClearTrace();
    const LONGLONG before = kernel::Now();
    EXPECT_EQ(Exchange(device, old ? Bytes{0x10, 0x00, 0x00, 0x02, 0x01, 0x31} : NewStatus), status) << what;
    const std::vector<Bytes> pieces = device.ReadPieces();
    Bytes whole;
    for (const Bytes& piece : pieces) whole.insert(whole.end(), piece.begin(), piece.end());
    const Bytes kept = device.ExchangeBytes();
    const std::size_t n = std::min(kept.size(), whole.size());  // what was kept is what came first
    EXPECT_EQ(Bytes(kept.begin(), kept.begin() + n), Bytes(whole.begin(), whole.begin() + n)) << what;
    const std::size_t first = pieces.empty() ? 0 : pieces[0].size();
    EXPECT_EQ((Sizes{first, whole.size(), kept.size(), device.Reader().QueuedReplies()}), sizes) << what;
    EXPECT_EQ(kernel::Now() - before > ReaderCommandTimeout, status == STATUS_TIMEOUT) << what;
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
  EXPECT_EQ(smclib::EventLog().at(0).code, NTSTATUS_VALUE(0xC0100003));
  EXPECT_TRUE(device.Port().Trace().empty());
  ReleaseReaderLock(&context);
}

}  // namespace
