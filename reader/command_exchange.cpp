// CommandExchange: one request frame out, its reply gathered in pieces.
#include "reader/delay.h"
#include "reader/reader_frame.h"
#include "reader/transport.h"

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

}  // namespace

NTSTATUS CommandExchange(PDEVICE_OBJECT DeviceObject, UCHAR Bounded) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  NTSTATUS status = WriteRequest(DeviceObject, Bounded);
  if (!NT_SUCCESS(status)) return status;

  const FRAME_GENERATION generation = FrameGenerationFor(context->FirmwareVersion);
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
      if (received >= frameLength) break;
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
  return status;
}
