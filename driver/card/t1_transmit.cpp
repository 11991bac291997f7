// TransmitT1Blocks: the command cut into I-blocks of at most CardIfsc bytes,
// each block through one CommandExchange, each answer evaluated by
// EvaluateT1Answer and its action carried out. Blocks are built in
// BlockBuffer; the current I-block is kept in SavedBlock.
#include "driver/card/t1_block.h"
#include "driver/card/t1_evaluate.h"
#include "driver/card/transmit_paths.h"
#include "driver/reader/transport.h"

namespace {

constexpr ULONG ResynchAttempts = 3;

PUCHAR SavedBlock(DeviceContext* context) { return context->AtrBuffer + SavedBlockOffset; }

// Builds the I-block of the chunk that starts at `sent` and returns where
// the next chunk starts.
ULONG BuildChunk(DeviceContext* context, const UCHAR* command, ULONG commandLength, ULONG sent, T1_TRANSMISSION* t) {
  const ULONG remaining = commandLength - sent;
  // ISO/IEC 7816-3 clause 11.6: a command longer than the card's IFSC is
  // chained, every block but the last with M set.
  const BOOLEAN more = remaining > t->ChunkSize ? TRUE : FALSE;
  const ULONG length = more ? t->ChunkSize : remaining;
  const UCHAR pcb = static_cast<UCHAR>((t->Sequence & T1SendSequence) | (more ? T1IBlockMore : 0));
  context->BlockLength = BuildT1Block(context->BlockBuffer, pcb, command + sent, length);
  RtlCopyMemory(SavedBlock(context), context->BlockBuffer, context->BlockLength);
  t->SavedPcb = pcb;
  t->Retries = 0;
  t->AbortPending = FALSE;
  return sent + length;
}

void PrepareBlock(DeviceContext* context, const T1_DECISION& decision, const T1_TRANSMISSION& t) {
  switch (decision.Action) {
    case T1SendBlock:
      context->BlockLength = BuildT1Block(context->BlockBuffer, decision.Pcb, &decision.Inf, decision.InfLength);
      break;
    case T1ResendSaved: {
      PUCHAR saved = SavedBlock(context);
      saved[1] = t.SavedPcb;
      context->BlockLength = saved[2] + T1BlockOverhead;
      RtlCopyMemory(context->BlockBuffer, saved, context->BlockLength);
      SealT1Block(context->BlockBuffer, context->BlockLength);
      break;
    }
    case T1ResendLast:
      SealT1Block(context->BlockBuffer, context->BlockLength);
      break;
    default:
      break;
  }
}

// STATUS_IO_TIMEOUT without an exchange once the transmission's time is up.
NTSTATUS ExchangeBlock(PDEVICE_OBJECT device, DeviceContext* context, LONGLONG waitTime, LONGLONG deadline) {
  LONGLONG wait = 0;
  if (!WaitBeforeDeadline(deadline, waitTime, &wait)) return STATUS_IO_TIMEOUT;
  context->ExchangeTimeout = wait;
  RtlCopyMemory(context->ExchangeBuffer, context->BlockBuffer, context->BlockLength);
  context->ExchangeLength = context->BlockLength;
  return CommandExchange(device, ReaderCommandBounded);
}

// ISO/IEC 7816-3 clause 11.6: S(RESYNCH request), up to three times, until
// the card answers with S(RESYNCH response); both sides then start again at
// N(S) 0, with nothing of an earlier chain kept. The information field
// sizes stay as they are.
NTSTATUS Resynchronise(PDEVICE_OBJECT device, DeviceContext* context, LONGLONG deadline) {
  for (ULONG attempt = 0; attempt < ResynchAttempts; ++attempt) {
    context->BlockLength = BuildT1Block(context->BlockBuffer, T1PcbSBlock | T1SResynch, nullptr, 0);
    const NTSTATUS status = ExchangeBlock(device, context, context->BlockWaitTime, deadline);
    if (!NT_SUCCESS(status)) return status;
    const PUCHAR answer = context->ExchangeBuffer;
    if (status == STATUS_SUCCESS && T1BlockIntact(answer, context->ExchangeLength) &&
        answer[1] == (T1PcbSBlock | T1SResponse | T1SResynch)) {
      context->T1Sequence = 0;
      return STATUS_SUCCESS;
    }
  }
  return STATUS_DEVICE_PROTOCOL_ERROR;
}

}  // namespace

NTSTATUS TransmitT1Blocks(PSMARTCARD_EXTENSION SmartcardExtension, ULONG CommandLength) {
  DeviceContext* context = CONTAINING_RECORD(SmartcardExtension, DeviceContext, SmartcardExtension);
  PDEVICE_OBJECT device = SmartcardExtension->OsData->DeviceObject;
  const auto& io = SmartcardExtension->IoRequest;

  // The reply may share its buffer with the request, as a buffered request
  // does: the command is sent from this copy and the response overwrites it.
  auto scratch = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, ExchangeBufferSize, DriverPoolTag));
  if (scratch == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  const ULONG requestLength = CommandLength + TransmitHeaderLength;
  RtlCopyMemory(scratch, io.RequestBuffer, requestLength);
  const UCHAR* command = scratch + TransmitHeaderLength;
  const LONGLONG deadline = TransmissionDeadline();
  // An earlier transmission broke off where the card's sequence may have
  // moved on without the driver: no block of this command goes out before
  // both sides agree again.
  if ((context->T1Sequence & T1SequenceUnknown) != 0 && CommandLength != 0) {
    const NTSTATUS status = Resynchronise(device, context, deadline);
    if (status != STATUS_SUCCESS) {
      ExFreePool(scratch);
      return status;
    }
  }

  T1_TRANSMISSION t{};
  t.Sequence = context->T1Sequence;
  t.InitialIfsc = T1UsableIfsc(context->CardIfsc);
  t.CardIfsc = t.InitialIfsc;
  t.ChunkSize = t.InitialIfsc;
  t.Received = TransmitHeaderLength;
  t.ReplyBufferLength = io.ReplyBufferLength;
  t.BlockWaitTime = context->BlockWaitTime;
  t.WaitTime = context->BlockWaitTime;
  context->ExchangeTimeout = context->BlockWaitTime;

  NTSTATUS status = STATUS_SUCCESS;
  ULONG sent = 0;
  BOOLEAN finished = CommandLength == 0 ? TRUE : FALSE;
  while (!finished) {
    const ULONG next = BuildChunk(context, command, CommandLength, sent, &t);
    for (;;) {
      status = ExchangeBlock(device, context, t.WaitTime, deadline);
      const T1_DECISION decision = EvaluateT1Answer(status, context->ExchangeBuffer, context->ExchangeLength, &t);
      RtlCopyMemory(io.ReplyBuffer + decision.AppendAt, context->ExchangeBuffer + T1PrologueLength,
                    decision.AppendLength);
      if (decision.Action == T1Finish) {
        status = decision.Status;
        finished = TRUE;
        break;
      }
      if (decision.Action == T1NextChunk) {
        sent = next;
        break;
      }
      if (decision.Action == T1Restart) {
        RtlCopyMemory(io.ReplyBuffer, scratch, TransmitHeaderLength);
        sent = 0;
        break;
      }
      PrepareBlock(context, decision, t);
    }
  }

  // Only an overflow ends a transmission with both sides known to agree;
  // after any other failure the card may have taken a block the driver
  // never saw answered.
  context->T1Sequence = t.Sequence;
  if (!NT_SUCCESS(status) && status != STATUS_BUFFER_TOO_SMALL) context->T1Sequence |= T1SequenceUnknown;
  context->CardIfsc = t.CardIfsc;
  if (NT_SUCCESS(status)) *io.Information = t.Received;
  ExFreePool(scratch);
  return status;
}
