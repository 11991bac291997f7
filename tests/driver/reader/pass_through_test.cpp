// The pass-through control code: raw reader frames from an application, in
// both generations, and the frames it refuses.
#include <gtest/gtest.h>

#include "emulator/reader/frame.h"
#include "driver/reader/reader_commands.h"
#include "driver/reader/reader_lock.h"
#include "driver/reader/vendor_ioctl.h"
#include "tests/fixture/reader_device.h"

namespace {

using readertest::Bytes;
using readertest::DualProtocolCard;
using readertest::ReaderDevice;
using readertest::ReaderWithFirmware;

constexpr LONGLONG Ms = kernel::kMillisecond;

Bytes NewCommand(UCHAR sequence, const Bytes& information) {
  return emu::BuildNewFrame(0x12, sequence, information);
}

kernel::IoResult PassThrough(ReaderDevice& device, const Bytes& frame, ULONG output = 512) {
  return device.Control(IOCTL_VENDOR_PASS_THROUGH, frame, output);
}

TEST(PassThrough, WritesTheCheckByteAndSetsTheReaderUpAfterARestart) {
  ReaderDevice device;
  device.InsertCard(DualProtocolCard());
  ASSERT_EQ(GetReaderStatus(device.Device()), STATUS_SUCCESS);
  DeviceContext& context = device.Context();
  const UCHAR sequence = context.SequenceByte;
  device.ClearTrace();
  // 00 F5 restarts the reader; the application's check byte 77 is replaced by 12^40^02^00^F5 = A5.
  const kernel::IoResult result = PassThrough(device, {0x12, 0x40, 0x02, 0x00, 0xF5, 0x77});
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  const Bytes reply = NewCommand(0x40, {0x00, 0xF5, 0x90, 0x00});
  EXPECT_EQ(result.information, reply.size());
  EXPECT_EQ(result.output, reply);
  EXPECT_EQ(device.Written(), (std::vector<Bytes>{{0x12, 0x40, 0x02, 0x00, 0xF5, 0xA5},
                                                  NewCommand(sequence, {0x01, 0xD0}),
                                                  NewCommand(sequence ^ 0x40, {0x01, 0x41})}));
  // The frame's control byte is the application's; the set-up sequence moved the sequence byte twice.
  EXPECT_EQ(context.SequenceByte, sequence);
  EXPECT_EQ(device.Reader().StatusByte() & 0x20, 0x20);
}

TEST(PassThrough, ReturnsTheWholeReplyFrame) {
  ReaderDevice device;
  device.ClearTrace();
  const kernel::IoResult result = PassThrough(device, {0x12, 0x00, 0x02, 0x01, 0x31, 0x00});
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(device.Written(), (std::vector<Bytes>{{0x12, 0x00, 0x02, 0x01, 0x31, 0x20}}));
  ASSERT_EQ(result.output.size(), 9u);
  EXPECT_EQ(result.output, NewCommand(0x00, {0x01, 0x31, result.output[5], 0x90, 0x00}));
}

TEST(PassThrough, RefusesAReplyLongerThanTheOutput) {
  ReaderDevice device;
  const kernel::IoResult result = PassThrough(device, {0x12, 0x00, 0x02, 0x01, 0x31, 0x20}, 8);
  EXPECT_EQ(result.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(result.information, 0u);
}

Bytes NewFrameOfLength(std::size_t length) {
  Bytes information(length - 4, 0x00);
  information[0] = 0x01;
  information[1] = 0x31;
  return emu::BuildNewFrame(0x12, 0x00, information);
}

TEST(PassThrough, RefusesFramesItDoesNotCarryWithoutTouchingTheExchangeBuffer) {
  Bytes longest = NewFrameOfLength(250);
  Bytes tooLong = NewFrameOfLength(251);
  const struct {
    const char* what;
    const char* firmware;
    Bytes frame;
  } cases[] = {
      {"251 bytes", "2.27", tooLong},
      {"old-generation type on a new-generation reader", "2.27", {0x10, 0x00, 0x00, 0x02, 0x01, 0x31}},
      {"card address", "2.27", {0x52, 0x00, 0x02, 0x01, 0x31, 0x60}},
      {"shorter than a frame", "2.27", {0x12, 0x00, 0x00}},
      {"length byte says 5, frame holds 2", "2.27", {0x12, 0x00, 0x05, 0x01, 0x31, 0x25}},
      {"new-generation address on an old-generation reader", "1.50", {0x12, 0x00, 0x02, 0x01, 0x31, 0x20}},
      {"old command of 251 bytes", "1.50", emu::BuildOldFrame(0x10, Bytes(247, 0x01))},
      {"old length says 3, frame holds 2", "1.50", {0x10, 0x00, 0x00, 0x03, 0x01, 0x31}},
  };
  for (const auto& c : cases) {
    ReaderDevice device(ReaderWithFirmware(c.firmware));
    DeviceContext& context = device.Context();
    // The presence poll uses the exchange buffer too: touched under ReaderLock only.
    AcquireReaderLock(&context);
    RtlFillMemory(context.ExchangeBuffer, ExchangeBufferSize, 0xEE);
    context.ExchangeLength = 77;
    ReleaseReaderLock(&context);
    device.ClearTrace();
    const kernel::IoResult result = PassThrough(device, c.frame);
    EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER) << c.what;
    EXPECT_EQ(result.information, 0u) << c.what;
    AcquireReaderLock(&context);
    EXPECT_EQ(context.ExchangeLength, 77u) << c.what;
    EXPECT_EQ(device.ExchangeBytes(), Bytes(77, 0xEE)) << c.what;
    ReleaseReaderLock(&context);
    EXPECT_TRUE(device.Written().empty()) << c.what;
  }
  ReaderDevice device;
  device.ClearTrace();
  EXPECT_EQ(PassThrough(device, longest).status, STATUS_SUCCESS);
  EXPECT_EQ(device.Written().size(), 1u);
}

// APDU GET CHALLENGE for 4 bytes (ISO/IEC 7816-4 clause 11.5.6) in a type 0x51 frame.
const Bytes OldT1Frame = {0x51, 0x00, 0x00, 0x05, 0x00, 0x84, 0x00, 0x00, 0x04};

std::unique_ptr<ReaderDevice> OldReaderWithPoweredCard(emu::ReaderConfig config) {
  auto device = std::make_unique<ReaderDevice>(std::move(config));
  device->InsertCard(DualProtocolCard());
  EXPECT_EQ(GetAtr(device->Device()), STATUS_SUCCESS);  // powers the card
  device->ClearTrace();
  return device;
}

TEST(PassThrough, CollectsTheAnswerToAnOldGenerationCardFrame) {
  emu::ReaderConfig config = ReaderWithFirmware("1.50");
  config.transferBusyPolls = 2;
  auto device = OldReaderWithPoweredCard(config);
  const kernel::IoResult result = PassThrough(*device, OldT1Frame);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  const Bytes status = {0x10, 0x00, 0x00, 0x02, 0x01, 0xD2};
  EXPECT_EQ(device->Written(),
            (std::vector<Bytes>{OldT1Frame, status, status, status, {0x10, 0x00, 0x00, 0x02, 0x01, 0xD3}}));
  // The transfer states reported: 0, 1, 2.
  const std::vector<emu::FrameRecord> replies = device->Reader().RepliesSent();
  ASSERT_EQ(replies.size(), 5u);
  EXPECT_EQ(replies[1].bytes[6], 0);
  EXPECT_EQ(replies[2].bytes[6], 1);
  EXPECT_EQ(replies[3].bytes[6], 2);
  // The application gets the transfer result: four challenge bytes and 90 00.
  EXPECT_EQ(result.output, replies[4].bytes);
  ASSERT_EQ(result.output.size(), 10u);
  EXPECT_EQ(Bytes(result.output.begin(), result.output.begin() + 4), (Bytes{0x10, 0x00, 0x00, 0x06}));
  EXPECT_EQ(Bytes(result.output.end() - 2, result.output.end()), (Bytes{0x90, 0x00}));
}

TEST(PassThrough, ReportsAFailedOldGenerationCardFrame) {
  auto device = OldReaderWithPoweredCard(ReaderWithFirmware("1.50"));
  // The reader refuses the card frame; its transfer state then reads 3.
  device->Reader().ScriptFault(emu::ReplyFault::ErrorReply());
  const kernel::IoResult result = PassThrough(*device, OldT1Frame);
  EXPECT_EQ(result.status, STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(device->Written().size(), 2u);  // the frame and one status poll
}

TEST(PassThrough, BoundsTheOldGenerationStatusPoll) {
  emu::ReaderConfig config = ReaderWithFirmware("1.50");
  config.timing.usbLatency = 100 * Ms;        // few polls, in simulated time all the same
  config.transferBusyTime = 3600'000 * Ms;    // the card never answers
  auto device = OldReaderWithPoweredCard(config);
  const LONGLONG before = kernel::Now();
  const kernel::IoResult result = PassThrough(*device, OldT1Frame);
  EXPECT_EQ(result.status, STATUS_IO_TIMEOUT);
  EXPECT_EQ(result.information, 0u);
  EXPECT_GT(kernel::Now() - before, TransferResultTimeLimit);
  EXPECT_LT(kernel::Now() - before, TransferResultTimeLimit + 1'000 * Ms);
  EXPECT_EQ(device->Context().ReaderLock.Owner, nullptr);
  EXPECT_EQ(device->Reader().CurrentTransferState(), emu::TransferState::Busy);
}

TEST(PassThrough, CarriesOldGenerationReaderCommandsAndLongCardFrames) {
  auto device = OldReaderWithPoweredCard(ReaderWithFirmware("1.50"));
  kernel::IoResult result = PassThrough(*device, {0x10, 0x00, 0x00, 0x02, 0x01, 0x31});
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.output, (Bytes{0x10, 0x00, 0x00, 0x05, 0x01, 0x31, device->Reader().StatusByte(), 0x90, 0x00}));

  // A card frame may be longer than 250 bytes, up to 0x10020.
  Bytes longest = emu::BuildOldFrame(0x51, Bytes(PassThroughCardFrameMax - 4, 0x00));
  Bytes tooLong = emu::BuildOldFrame(0x51, Bytes(PassThroughCardFrameMax - 3, 0x00));
  device->ClearTrace();
  result = PassThrough(*device, tooLong);
  EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(device->Written().empty());
  result = PassThrough(*device, longest);
  EXPECT_NE(result.status, STATUS_INVALID_PARAMETER);
  ASSERT_FALSE(device->Written().empty());
  EXPECT_EQ(device->Written()[0], longest);
}

}  // namespace
