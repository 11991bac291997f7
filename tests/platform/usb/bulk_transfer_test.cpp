// Bulk transfers through the emulated port to the emulated reader: what
// crossed the bus, byte for byte and at which simulated time.
#include <gtest/gtest.h>

#include "tests/platform/usb/usb_client.h"

namespace {

using kernel::kMillisecond;
using kernel::kSecond;
using usb::TraceEntry;
using usbtest::Client;
using Bytes = std::vector<UCHAR>;

// GetReaderStatus with sequence byte 0x00: 12 00 02 01 31 and the XOR check byte 0x20.
const Bytes kStatusCommand = {0x12, 0x00, 0x02, 0x01, 0x31, 0x20};

class BulkTransferTest : public ::testing::Test {
 protected:
  kernel::Platform platform{kernel::ClockMode::Simulated};
};

TEST_F(BulkTransferTest, StatusCommandAndItsReplyCrossTheBusAsTheTraceShows) {
  Client client;  // default timing: 1 ms per transfer, 76,800 bit/s on the contacts
  ASSERT_EQ(client.Configure(), STATUS_SUCCESS);
  client.port.ClearTrace();
  const LONGLONG start = kernel::Now();
  EXPECT_EQ(client.Write(kStatusCommand), STATUS_SUCCESS);
  NTSTATUS status;
  const Bytes reply = client.Read(256, &status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  ASSERT_GE(reply.size(), 6u);
  EXPECT_EQ(reply[0], 0x12);
  EXPECT_EQ(reply[2] + 4u, reply.size()) << "a new-generation reply is its length byte plus 4";
  EXPECT_EQ(reply[5] & 0x20, 0) << "no set-up yet after power-on";

  const std::vector<TraceEntry> trace = client.port.BulkTrace();
  ASSERT_EQ(trace.size(), 2u);
  EXPECT_EQ(trace[0].kind, TraceEntry::Kind::BulkOut);
  EXPECT_EQ(trace[0].data, kStatusCommand);
  EXPECT_EQ(trace[0].time - start, kMillisecond) << "the write completes one USB latency later";
  EXPECT_EQ(trace[1].kind, TraceEntry::Kind::BulkIn);
  EXPECT_EQ(trace[1].data, reply);
  EXPECT_EQ(trace[1].requested, 256u);
  EXPECT_GT(trace[1].time, trace[0].time);
}

TEST_F(BulkTransferTest, ZeroLatencyReaderAnswersWithinTheCall) {
  emu::ReaderConfig config;
  config.timing = emu::TimingModel::Instant();
  Client client(config);
  ASSERT_EQ(client.Configure(), STATUS_SUCCESS);
  const LONGLONG start = kernel::Now();
  EXPECT_EQ(client.Write(kStatusCommand), STATUS_SUCCESS);
  EXPECT_EQ(client.Read(256).size(), 9u);
  EXPECT_EQ(kernel::Now(), start);
}

TEST_F(BulkTransferTest, SplitReplyArrivesInThePiecesTheReaderSends) {
  emu::ReaderConfig config;
  config.timing = emu::TimingModel::Instant();
  Client client(config);
  ASSERT_EQ(client.Configure(), STATUS_SUCCESS);
  client.reader->ScriptFault(emu::ReplyFault::Split({3}));
  client.Write(kStatusCommand);
  const Bytes first = client.Read(256);
  const Bytes rest = client.Read(256);
  EXPECT_EQ(first.size(), 3u);
  EXPECT_EQ(first.size() + rest.size(), 9u);
  EXPECT_EQ(first[2], 5) << "the length byte arrives in the first piece";
}

TEST_F(BulkTransferTest, ShortPacketWithoutShortTransferOkIsAnError) {
  emu::ReaderConfig config;
  config.timing = emu::TimingModel::Instant();
  Client client(config);
  ASSERT_EQ(client.Configure(), STATUS_SUCCESS);
  client.Write(kStatusCommand);
  Bytes data(256);
  EXPECT_EQ(client.Bulk(true, data, 0), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(client.lastUsbdStatus, USBD_STATUS_ERROR_SHORT_TRANSFER);
  EXPECT_EQ(data.size(), 9u) << "the bytes that did arrive are reported";
}

// A read the reader never answers, bounded the way the driver bounds its
// transfers: after 7 s the request is cancelled and comes back cancelled.
TEST_F(BulkTransferTest, ReadTheReaderNeverAnswersIsCancelledAfterTheBound) {
  Client client;
  ASSERT_EQ(client.Configure(), STATUS_SUCCESS);
  client.reader->ScriptFault(emu::ReplyFault::NoReply());
  client.Write(kStatusCommand);

  URB urb{};
  Bytes buffer(256);
  auto& bulk = urb.UrbBulkOrInterruptTransfer;
  bulk.Hdr.Length = sizeof(bulk);
  bulk.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  bulk.PipeHandle = client.Pipe(true);
  bulk.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
  bulk.TransferBuffer = buffer.data();
  bulk.TransferBufferLength = 256;
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PDEVICE_OBJECT pdo = client.port.PhysicalDeviceObject();
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0, TRUE, &event,
                                           &iosb);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
  const LONGLONG start = kernel::Now();
  ASSERT_EQ(IoCallDriver(pdo, irp), STATUS_PENDING);
  EXPECT_EQ(client.port.ParkedTransfers(), 1u);
  LARGE_INTEGER timeout;
  timeout.QuadPart = -7 * kSecond;
  ASSERT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
  if (KeReadStateEvent(&event) == 0) IoCancelIrp(irp);
  KeLowerIrql(old);
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(kernel::Now() - start, 7 * kSecond);
  EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
  EXPECT_EQ(bulk.Hdr.Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(bulk.TransferBufferLength, 0u);
  EXPECT_EQ(client.port.ParkedTransfers(), 0u);
  EXPECT_EQ(kernel::pool::LiveBlocks(PoolTag("UsbT")), 0u);
}

// The device's answer becomes ready at the very instant the caller gives up
// on the read: the port's timer and the cancellation meet. Whichever wins
// ends the transfer, exactly once, and the other leaves it alone (the
// timer once looked at a transfer the cancellation had already freed).
TEST_F(BulkTransferTest, ReadReadyAtTheInstantItIsCancelledEndsOnce) {
  for (int round = 0; round < 200; ++round) {
    Client client;
    ASSERT_EQ(client.Configure(), STATUS_SUCCESS);
    PDEVICE_OBJECT pdo = client.port.PhysicalDeviceObject();
    client.reader->ScriptFault(emu::ReplyFault::Delay(7 * kSecond));
    ASSERT_EQ(client.Write(kStatusCommand), STATUS_SUCCESS);

    URB urb{};
    Bytes buffer(256);
    auto& bulk = urb.UrbBulkOrInterruptTransfer;
    bulk.Hdr.Length = sizeof(bulk);
    bulk.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    bulk.PipeHandle = client.Pipe(true);
    bulk.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    bulk.TransferBuffer = buffer.data();
    bulk.TransferBufferLength = 256;
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0, TRUE,
                                             &event, &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
    ASSERT_EQ(IoCallDriver(pdo, irp), STATUS_PENDING);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -7 * kSecond;
    if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
      KIRQL old;
      KeRaiseIrql(APC_LEVEL, &old);
      if (KeReadStateEvent(&event) == 0) IoCancelIrp(irp);
      KeLowerIrql(old);
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    if (iosb.Status == STATUS_SUCCESS) {
      ASSERT_EQ(bulk.TransferBufferLength, 7u) << round;
    } else {
      ASSERT_EQ(iosb.Status, STATUS_CANCELLED) << round;
      ASSERT_EQ(bulk.TransferBufferLength, 0u) << round;
    }
    ASSERT_EQ(client.port.ParkedTransfers(), 0u) << round;
    ASSERT_EQ(kernel::pool::LiveBlocks(PoolTag("UsbT")), 0u) << round;
  }
}

TEST_F(BulkTransferTest, AbortPipeEndsTheReadWaitingOnIt) {
  Client client;
  ASSERT_EQ(client.Configure(), STATUS_SUCCESS);
  client.reader->ScriptFault(emu::ReplyFault::Withhold());
  client.Write(kStatusCommand);
  NTSTATUS readStatus = STATUS_PENDING;
  kernel::SystemThread reader("reader", [&] { client.Read(256, &readStatus); });
  kernel::SleepFor(100 * kMillisecond);
  EXPECT_EQ(client.port.ParkedTransfers(), 1u);
  URB abort{};
  abort.UrbPipeRequest.Hdr.Length = sizeof(_URB_PIPE_REQUEST);
  abort.UrbPipeRequest.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
  abort.UrbPipeRequest.PipeHandle = client.Pipe(true);
  EXPECT_EQ(usbtest::SubmitUrb(client.port.PhysicalDeviceObject(), abort), STATUS_SUCCESS);
  reader.Join();
  EXPECT_EQ(readStatus, STATUS_CANCELLED);
  EXPECT_EQ(client.reader->QueuedReplies(), 0u) << "the withheld reply went with the aborted pipe";
}

TEST_F(BulkTransferTest, WithheldReplyReleasedLaterReachesTheWaitingRead) {
  Client client;
  ASSERT_EQ(client.Configure(), STATUS_SUCCESS);
  client.reader->ScriptFault(emu::ReplyFault::Withhold());
  client.Write(kStatusCommand);
  Bytes reply;
  kernel::SystemThread reader("reader", [&] { reply = client.Read(256); });
  kernel::SleepFor(2 * kSecond);
  EXPECT_TRUE(reply.empty());
  client.reader->ReleaseWithheldReply();
  reader.Join();
  EXPECT_EQ(reply.size(), 9u);
}

TEST_F(BulkTransferTest, UnpluggedDeviceFailsWaitingAndLaterTransfers) {
  Client client;
  ASSERT_EQ(client.Configure(), STATUS_SUCCESS);
  client.reader->ScriptFault(emu::ReplyFault::NoReply());
  client.Write(kStatusCommand);
  NTSTATUS readStatus = STATUS_PENDING;
  kernel::SystemThread reader("reader", [&] { client.Read(256, &readStatus); });
  kernel::SleepFor(10 * kMillisecond);
  client.port.Unplug();
  reader.Join();
  EXPECT_EQ(readStatus, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(client.Write(kStatusCommand), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(client.lastUsbdStatus, USBD_STATUS_DEVICE_GONE);
}

TEST_F(BulkTransferTest, UsbErrorsOfTheDeviceReachTheCaller) {
  emu::ReaderConfig config;
  config.timing = emu::TimingModel::Instant();
  Client client(config);
  ASSERT_EQ(client.Configure(), STATUS_SUCCESS);
  client.reader->FailNextBulkOut({STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID});
  EXPECT_EQ(client.Write(kStatusCommand), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(client.lastUsbdStatus, USBD_STATUS_STALL_PID);
  client.Write(kStatusCommand);
  client.reader->FailNextBulkIn({STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING});
  NTSTATUS status;
  EXPECT_TRUE(client.Read(256, &status).empty());
  EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(client.lastUsbdStatus, USBD_STATUS_DEV_NOT_RESPONDING);
}

TEST_F(BulkTransferTest, WrongDirectionOrMissingBufferIsRefusedBeforeTheDeviceSeesIt) {
  Client client;
  ASSERT_EQ(client.Configure(), STATUS_SUCCESS);
  Bytes data = kStatusCommand;
  URB urb{};
  auto& bulk = urb.UrbBulkOrInterruptTransfer;
  bulk.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  bulk.PipeHandle = client.Pipe(true);  // the IN pipe, but no IN flag
  bulk.TransferFlags = USBD_SHORT_TRANSFER_OK;
  bulk.TransferBuffer = data.data();
  bulk.TransferBufferLength = 6;
  EXPECT_EQ(usbtest::SubmitUrb(client.port.PhysicalDeviceObject(), urb), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(bulk.TransferBufferLength, 0u) << "a refused transfer moved nothing";
  bulk.PipeHandle = client.Pipe(false);
  bulk.TransferBuffer = nullptr;
  bulk.TransferBufferLength = 6;
  EXPECT_EQ(usbtest::SubmitUrb(client.port.PhysicalDeviceObject(), urb), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(client.reader->Counters().outTransfers, 0u);
}

TEST_F(BulkTransferTest, TraceLinesAreReadable) {
  TraceEntry entry{TraceEntry::Kind::BulkOut, 134116992000000000LL + 15 * kMillisecond, 0x02, kStatusCommand, 6,
                   STATUS_SUCCESS};
  const std::string line = usb::FormatTraceEntry(entry, 134116992000000000LL);
  EXPECT_NE(line.find("15.000 ms OUT"), std::string::npos) << line;
  EXPECT_NE(line.find("12 00 02 01 31 20"), std::string::npos) << line;
}

}  // namespace
