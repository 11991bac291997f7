// CommandExchange: one request frame out, its reply gathered in pieces.
#include "driver/device/device_context.h"
#include "driver/reader/command_frame.h"
#include "driver/reader/delay.h"
#include "driver/reader/reader_commands.h"
#include "driver/reader/reader_frame.h"
#include "driver/reader/transport.h"

namespace {

constexpr ULONG BulkPacketSize = 64;
constexpr ULONG ReplyReadSize = 256;
constexpr ULONG ReplyReadPauseMilliseconds = 3;

NTSTATUS WriteRequest(PDEVICE_OBJECT DeviceObject, UCHAR Bounded) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  const BOOLEAN fillsPackets = context->ExchangeLength != 0 && context->ExchangeLength % BulkPacketSize == 0;
  const NTSTATUS status = BulkTransfer(DeviceObject, TransferWrite, Bounded);
  if (!fillsPackets || !NT_SUCCESS(status)) return status;
  // USB 2.0 clause 5.8.3: a transfer that ends with a full packet is ended
  // by a zero-length packet, or the reader waits for more.
  context->ExchangeLength = 0;
  return BulkTransfer(DeviceObject, TransferWrite, Bounded);
}

NTSTATUS Exchange(PDEVICE_OBJECT DeviceObject, UCHAR Bounded, BOOLEAN Matched);

NTSTATUS Exchange(PDEVICE_OBJECT DeviceObject, UCHAR Bounded, BOOLEAN Matched) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  const FRAME_GENERATION generation = FrameGenerationFor(context->FirmwareVersion);
  // The request's address and control byte, which its reply overwrites.
  UCHAR request[2] = {0, 0};
  if (context->ExchangeLength >= sizeof(request)) RtlCopyMemory(request, context->ExchangeBuffer, sizeof(request));
  NTSTATUS status = WriteRequest(DeviceObject, Bounded);
  // A reader that did not answer the status command reading past a left
  // reply was not sent the request: the exchange times out as it would
  // with a silent reader. A write the bus did not finish in time is read
  // after all.
  const BOOLEAN heldBack = status == STATUS_TIMEOUT && context->ReplyMayBeLeft != 0 ? TRUE : FALSE;
  if (!NT_SUCCESS(status) || heldBack) {
    if (heldBack) context->ExchangeLength = 0;
    return status;
  }
  context->ReceiveOffset = 0;
  ULONG received = 0;
  // Bytes kept in ExchangeBuffer; they stop growing once a reply turns out
  // to be longer than the buffer, and what follows is read and dropped.
  ULONG kept = 0;
  BOOLEAN tooLong = FALSE;
  LARGE_INTEGER start;
  KeQuerySystemTime(&start);

  for (;;) {
    const ULONG room = ExchangeBufferSize - context->ReceiveOffset;
    context->ExchangeLength = room < ReplyReadSize ? room : ReplyReadSize;
    status = BulkTransfer(DeviceObject, TransferRead, Bounded);
    if (!NT_SUCCESS(status)) break;
    received += context->ExchangeLength;
    if (!tooLong) kept = received;

    const REPLY_LAYOUT layout = DescribeReply(generation, context->ExchangeBuffer, kept);
    if (layout.LengthKnown) {
      const ULONG frameLength = layout.InformationLength + FrameOverhead;
      if (frameLength > ExchangeBufferSize) tooLong = TRUE;
      if (received >= frameLength) {
        if (!Matched || (kept >= 2 && context->ExchangeBuffer[0] == request[0] &&
                         context->ExchangeBuffer[1] == request[1])) {
          break;
        }
        // A reply left by a failed read: dropped, and the read goes on.
        received = 0;
        kept = 0;
        tooLong = FALSE;
      }
    }
    context->ReceiveOffset = kept;

    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    if (now.QuadPart - start.QuadPart > context->ExchangeTimeout) {
      status = STATUS_TIMEOUT;
      break;
    }
    DelayMilliseconds(ReplyReadPauseMilliseconds);
  }

  context->ExchangeLength = tooLong ? kept : received;
  if (tooLong && NT_SUCCESS(status)) status = STATUS_DEVICE_DATA_ERROR;
  // A reply late for its exchange would be taken by the next one as its
  // own. The status command that reads past a left reply keeps its own
  // account of what may be left.
  if (status == STATUS_TIMEOUT && !Matched) NoteReplyMayBeLeft(context);
  return status;
}

}  // namespace

NTSTATUS CommandExchange(PDEVICE_OBJECT DeviceObject, UCHAR Bounded) {
  return Exchange(DeviceObject, Bounded, FALSE);
}

// After a failed read the reader may still hold the reply it could not
// deliver, and the next exchange would take it for its own. Before that
// exchange, a status command whose control byte differs from the left
// reply's reads past it: replies that do not repeat its address and control
// byte are dropped. The request waits in a copy meanwhile.
NTSTATUS ReadPastLeftReply(PDEVICE_OBJECT DeviceObject, UCHAR Bounded) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  const ULONG length = context->ExchangeLength;
  const LONGLONG timeout = context->ExchangeTimeout;
  PUCHAR saved = nullptr;
  if (length != 0) {
    saved = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, length, DriverPoolTag));
    if (saved == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(saved, context->ExchangeBuffer, length);
  }
  const UCHAR sequence = context->SequenceByte;
  const UCHAR probe = (context->ReplyMayBeLeft & SequenceByteToggle) ^ SequenceByteToggle;
  context->SequenceByte = probe;
  // Cleared while the status command runs; a read of it that fails sets it again.
  const UCHAR left = context->ReplyMayBeLeft;
  context->ReplyMayBeLeft = 0;
  PrepareReaderCommand(context, CommandGetReaderStatus, nullptr, 0, FALSE);
  NTSTATUS status = Exchange(DeviceObject, Bounded, TRUE);
  // A reader command waiting to go out already carries the control byte
  // after the status command's, and SequenceByte has moved past it; after
  // any other frame the sequence goes on from the status command's byte.
  const BOOLEAN commandWaits = saved != nullptr && saved[0] == NewCommandAddress ? TRUE : FALSE;
  context->SequenceByte = commandWaits || status != STATUS_SUCCESS ? sequence : probe ^ SequenceByteToggle;
  if (status != STATUS_SUCCESS) {
    if (context->ReplyMayBeLeft == 0) context->ReplyMayBeLeft = left;
    // Any other success-class status (a reply longer than the buffer is an
    // error already) is the reader not answering in time.
    if (NT_SUCCESS(status)) status = STATUS_TIMEOUT;
  }
  if (saved != nullptr) {
    RtlCopyMemory(context->ExchangeBuffer, saved, length);
    ExFreePool(saved);
  }
  context->ExchangeLength = length;
  context->ExchangeTimeout = timeout;
  return status;
}
