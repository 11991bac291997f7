// The T=0 path: the reduced command goes out as one frame, and the reply
// frame is read in 265-byte transfers, with a fresh wait after every NULL
// procedure byte the reader passes on.
#include "driver/card/t0_command.h"
#include "driver/card/transmit_paths.h"
#include "driver/reader/atr_analysis.h"
#include "driver/reader/delay.h"
#include "driver/reader/transport.h"

namespace {

constexpr ULONG BulkPacketSize = 64;
constexpr ULONG ReplyReadPauseMilliseconds = 3;
// The frame's control byte carries the send sequence bit of T1Sequence.
constexpr UCHAR ControlSequenceBit = 0x40;
// ISO/IEC 7816-3 table 7 has an Fi for each of the 16 values of FI.
constexpr UCHAR ClockRateConversionEntries = 16;

// The writes' statuses are not consulted: a frame that did not go out shows
// as a reply that does not come.
void SendT0Frame(PDEVICE_OBJECT device, DeviceContext* context, ULONG frameLength) {
  context->ExchangeLength = frameLength;
  BulkTransfer(device, TransferWrite, ReaderCommandBounded);
  if (frameLength % BulkPacketSize == 0) {
    // USB 2.0 clause 5.8.3: a transfer that ends with a full packet is ended
    // by a zero-length packet, or the reader waits for more.
    context->ExchangeLength = 0;
    BulkTransfer(device, TransferWrite, ReaderCommandBounded);
  }
}

// Gathers one reply frame at the start of ExchangeBuffer, its bytes counted
// in ExchangeLength. STATUS_SUCCESS once the frame is complete or announces
// more than a T=0 reply can be; STATUS_TIMEOUT when ExchangeTimeout passed
// first; a read's error status.
NTSTATUS ReceiveT0Reply(PDEVICE_OBJECT device, DeviceContext* context) {
  context->ReceiveOffset = 0;
  ULONG received = 0;
  LARGE_INTEGER start;
  KeQuerySystemTime(&start);
  for (;;) {
    context->ExchangeLength = T0ReplyReadSize;
    const NTSTATUS status = BulkTransfer(device, TransferRead, ReaderCommandBounded);
    if (!NT_SUCCESS(status)) return status;
    received += context->ExchangeLength;
    context->ExchangeLength = received;
    const ULONG frameLength = T0ReplyFrameLength(context->ExchangeBuffer, received);
    if (frameLength != 0 && (received >= frameLength || frameLength > T0FrameMax)) return STATUS_SUCCESS;
    context->ReceiveOffset = received;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    if (now.QuadPart - start.QuadPart > context->ExchangeTimeout) return STATUS_TIMEOUT;
    DelayMilliseconds(ReplyReadPauseMilliseconds);
  }
}

// ISO/IEC 7816-3 clause 10.2: between procedure bytes the card may take
// the work waiting time its ATR announces (WI in TC2, as the library read
// it), which can be far longer than the block waiting time; the longer of
// the two is waited for.
LONGLONG T0WaitTime(const SMARTCARD_EXTENSION& extension, LONGLONG blockWaitTime) {
  const SCARD_CARD_CAPABILITIES& card = extension.CardCapabilities;
  if (card.ClockRateConversion == nullptr || card.Fl >= ClockRateConversionEntries) return blockWaitTime;
  const LONGLONG work = WorkWaitTime(card.T0.WI, card.Fl, card.ClockRateConversion[card.Fl].F);
  return work > blockWaitTime ? work : blockWaitTime;
}

}  // namespace

NTSTATUS TransmitT0(PSMARTCARD_EXTENSION SmartcardExtension, ULONG CommandLength) {
  DeviceContext* context = CONTAINING_RECORD(SmartcardExtension, DeviceContext, SmartcardExtension);
  PDEVICE_OBJECT device = SmartcardExtension->OsData->DeviceObject;
  const LONGLONG waitTime = T0WaitTime(*SmartcardExtension, context->BlockWaitTime);
  context->ExchangeTimeout = waitTime;

  const UCHAR* command = SmartcardExtension->IoRequest.RequestBuffer + TransmitHeaderLength;
  const T0_COMMAND tpdu = ReduceT0Command(command, CommandLength, SmartcardExtension->IoRequest.ReplyBufferLength);
  if (!NT_SUCCESS(tpdu.Status)) return tpdu.Status;
  const ULONG frameLength = BuildT0Frame(command, tpdu, context->T1Sequence & ControlSequenceBit, context->BlockBuffer);
  context->BlockLength = frameLength;
  RtlCopyMemory(context->ExchangeBuffer, context->BlockBuffer, frameLength);
  RtlCopyMemory(context->AtrBuffer + SavedBlockOffset, context->BlockBuffer, frameLength);
  SendT0Frame(device, context, frameLength);

  const LONGLONG deadline = TransmissionDeadline();
  for (;;) {
    // ISO/IEC 7816-3 clause 10.3.3: every NULL procedure byte starts the
    // card's waiting time afresh, as long as the transmission's bound allows.
    LONGLONG wait = 0;
    if (!WaitBeforeDeadline(deadline, waitTime, &wait)) return STATUS_IO_TIMEOUT;
    context->ExchangeTimeout = wait;
    const NTSTATUS status = ReceiveT0Reply(device, context);
    if (!NT_SUCCESS(status)) return status;
    // The reply may still come; the next frame must not take it for its own.
    if (status == STATUS_TIMEOUT) NoteReplyMayBeLeft(context);
    const T0_REPLY reply = EvaluateT0Reply(status, context->ExchangeBuffer, context->ExchangeLength);
    if (reply.Kind == T0ReplyNullProcedure) continue;
    if (reply.Kind != T0ReplyResponse) return STATUS_IO_TIMEOUT;
    return PlaceResponse(SmartcardExtension, context->ExchangeBuffer + T0ReplyDataOffset, reply.ResponseLength);
  }
}
