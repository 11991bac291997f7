// How the driver answers each block of the card during a T=1 transmission.
#include "driver/card/t1_evaluate.h"

#include "driver/card/t1_block.h"
#include "driver/card/transmit_paths.h"

namespace {

// Retry and resynchronisation limits.
constexpr UCHAR SilenceRetryLimit = 2;
constexpr UCHAR SilenceResyncLimit = 1;
constexpr UCHAR CheckRetryLimit = 2;
constexpr UCHAR CheckResyncLimit = 1;
constexpr UCHAR SequenceRetryLimit = 2;
constexpr UCHAR SequenceResyncLimit = 2;
constexpr UCHAR RBlockRetryLimit = 3;

constexpr UCHAR ReservedIfsc = 0xFF;

T1_DECISION Decide(T1_ACTION action) {
  T1_DECISION decision{};
  decision.Action = action;
  return decision;
}

T1_DECISION Finish(NTSTATUS status) {
  T1_DECISION decision = Decide(T1Finish);
  decision.Status = status;
  return decision;
}

T1_DECISION Send(UCHAR pcb) {
  T1_DECISION decision = Decide(T1SendBlock);
  decision.Pcb = pcb;
  return decision;
}

T1_DECISION SendWithInf(UCHAR pcb, UCHAR inf) {
  T1_DECISION decision = Send(pcb);
  decision.Inf = inf;
  decision.InfLength = 1;
  return decision;
}

// R-blocks name the N(S) the driver expects of the card's next I-block.
T1_DECISION SendRBlock(const T1_TRANSMISSION* t, UCHAR error) {
  return Send(static_cast<UCHAR>(T1PcbRBlock | (t->Sequence & T1ExpectedSequence) | error));
}

// ISO/IEC 7816-3 clause 11.6: once retransmission has not helped, the
// interface device asks for a resynchronisation, a limited number of times.
T1_DECISION Resynchronise(T1_TRANSMISSION* t, UCHAR* resyncs, UCHAR limit) {
  ++*resyncs;
  if (*resyncs > limit) return Finish(STATUS_DEVICE_PROTOCOL_ERROR);
  t->Retries = 0;
  return Send(T1PcbSBlock | T1SResynch);
}

T1_DECISION RetryThenResynchronise(T1_TRANSMISSION* t, UCHAR retryLimit, UCHAR error, UCHAR* resyncs,
                                   UCHAR resyncLimit) {
  ++t->Retries;
  if (t->Retries <= retryLimit) return SendRBlock(t, error);
  return Resynchronise(t, resyncs, resyncLimit);
}

T1_DECISION EvaluateRBlock(UCHAR pcb, T1_TRANSMISSION* t) {
  const BOOLEAN otherSequence = ((pcb & T1RBlockSequence) != 0) != ((t->SavedPcb & T1IBlockSequence) != 0);
  const BOOLEAN lastChained = (t->SavedPcb & T1IBlockMore) != 0;
  const BOOLEAN nothingReceived = t->Received == TransmitHeaderLength && !t->Overflowed;
  switch (pcb & T1RBlockErrorMask) {
    case T1RNoError:
      if (otherSequence && nothingReceived) {
        // Clause 11.6: during chaining, an R-block naming the next N(S)
        // acknowledges the chained I-block. The last I-block is answered
        // by an I-block, never acknowledged.
        if (!lastChained) return Finish(STATUS_IO_TIMEOUT);
        t->Sequence ^= T1SendSequence;
        return Decide(T1NextChunk);
      }
      ++t->Retries;
      if (t->Retries <= RBlockRetryLimit) return SendRBlock(t, T1ROtherError);
      return Finish(STATUS_DEVICE_PROTOCOL_ERROR);
    case T1REdcError:
      // Clause 11.6: the card could not read the block; it goes again.
      ++t->Retries;
      if (t->Retries > RBlockRetryLimit) return Finish(STATUS_DEVICE_PROTOCOL_ERROR);
      if (!nothingReceived) return Decide(T1ResendLast);
      if (!otherSequence) return Decide(T1ResendSaved);
      if (!lastChained) return Decide(T1ResendLast);
      t->Sequence ^= T1SendSequence;
      return Decide(T1NextChunk);
    case T1ROtherError:
      // Clause 11.6: the card names the N(S) it wants; past two tries the
      // sequence numbers are resynchronised.
      ++t->Retries;
      if (t->Retries > SequenceRetryLimit) {
        return Resynchronise(t, &t->SequenceResyncs, SequenceResyncLimit);
      }
      if (otherSequence) {
        // The card expects the other N(S): the current I-block takes it.
        t->Sequence ^= T1SendSequence;
        t->SavedPcb ^= T1IBlockSequence;
        if (lastChained) return Decide(T1NextChunk);
      }
      return Decide(T1ResendSaved);
    default:
      return Finish(STATUS_IO_TIMEOUT);
  }
}

T1_DECISION EvaluateSBlock(const UCHAR* answer, T1_TRANSMISSION* t) {
  const UCHAR type = answer[1] & T1SBlockTypeMask;
  // IFS and WTX requests carry exactly one INF byte (clause 11.3).
  const BOOLEAN oneInfByte = answer[2] == 1;
  const UCHAR inf = answer[T1PrologueLength];
  switch (type) {
    case T1SIfs:
      // Clause 11.4: 0x00 and 0xFF are reserved; an empty IFSC would never
      // let the command finish.
      if (!oneInfByte || inf == 0 || inf == ReservedIfsc) return Finish(STATUS_IO_TIMEOUT);
      t->CardIfsc = inf;
      t->ChunkSize = inf;
      return SendWithInf(T1PcbSBlock | T1SResponse | T1SIfs, inf);
    case T1SAbort:
      t->AbortPending = TRUE;
      return Send(T1PcbSBlock | T1SResponse | T1SAbort);
    case T1SWtx: {
      if (!oneInfByte) return Finish(STATUS_IO_TIMEOUT);
      // Clause 11.4: the card's waiting time becomes INF times the block
      // waiting time, here for the rest of the transmission.
      const LONGLONG multiplier = inf != 0 ? inf : 1;
      t->WaitTime = multiplier * t->BlockWaitTime;
      return SendWithInf(T1PcbSBlock | T1SResponse | T1SWtx, inf);
    }
    case T1SResponse | T1SResynch:
      // Clause 11.6: after a resynchronisation both N(S) start at 0 and
      // the information field sizes take their initial values.
      t->Sequence = 0;
      t->CardIfsc = t->InitialIfsc;
      t->ChunkSize = t->InitialIfsc;
      t->Received = TransmitHeaderLength;
      t->AbortPending = FALSE;
      t->Overflowed = FALSE;
      return Decide(T1Restart);
    default:
      // The card's own S(RESYNCH request), and anything the driver never asked for.
      return Finish(STATUS_IO_TIMEOUT);
  }
}

// Response data of an accepted I-block go behind what came before, unless
// the reply has already overflowed.
T1_DECISION AppendOf(T1_DECISION decision, ULONG length, T1_TRANSMISSION* t) {
  if (t->Overflowed) return decision;
  decision.AppendAt = t->Received;
  decision.AppendLength = length;
  t->Received += length;
  return decision;
}

T1_DECISION EvaluateIBlock(NTSTATUS exchangeStatus, const UCHAR* answer, T1_TRANSMISSION* t) {
  const UCHAR pcb = answer[1];
  const BOOLEAN sequence = (pcb & T1IBlockSequence) != 0;
  if (sequence != ((t->Sequence & T1ExpectedSequence) != 0)) {
    // Clause 11.6: an I-block out of sequence is answered with R(other error).
    return RetryThenResynchronise(t, SequenceRetryLimit, T1ROtherError, &t->SequenceResyncs, SequenceResyncLimit);
  }
  const ULONG length = answer[2];
  // Clause 11.6: the card's first I-block also acknowledges the driver's
  // last one. Either way the card's next I-block carries the other N(S).
  if (t->Received == TransmitHeaderLength && !t->Overflowed) t->Sequence ^= T1SendSequence;
  t->Sequence ^= T1ExpectedSequence;
  t->Retries = 0;
  // The card counts a block as delivered whether or not its data fit the
  // reply: the sequence moves on all the same, the rest of a chain is asked
  // for and dropped, and the command, run once, ends as too big for the reply.
  if (length > t->ReplyBufferLength - t->Received) t->Overflowed = TRUE;
  if ((pcb & T1IBlockMore) != 0) return AppendOf(SendRBlock(t, T1RNoError), length, t);
  return AppendOf(Finish(t->Overflowed ? STATUS_BUFFER_TOO_SMALL : exchangeStatus), length, t);
}

}  // namespace

UCHAR T1UsableIfsc(UCHAR Ifsc) { return Ifsc == 0 || Ifsc == ReservedIfsc ? T1DefaultIfsc : Ifsc; }

T1_DECISION EvaluateT1Answer(NTSTATUS ExchangeStatus, const UCHAR* Answer, ULONG AnswerLength,
                             T1_TRANSMISSION* Transmission) {
  T1_TRANSMISSION* t = Transmission;
  if (!NT_SUCCESS(ExchangeStatus)) return Finish(ExchangeStatus);
  // Clause 11.6: no block within the waiting time. The reader's error
  // reply means the same: the block did not reach the card.
  if (ExchangeStatus == STATUS_TIMEOUT || IsReaderErrorReply(FrameGenerationNew, Answer, AnswerLength)) {
    return RetryThenResynchronise(t, SilenceRetryLimit, T1ROtherError, &t->SilenceResyncs, SilenceResyncLimit);
  }
  // Clause 11.6: a block that does not check out is answered with R(EDC error).
  if (!T1BlockIntact(Answer, AnswerLength)) {
    return RetryThenResynchronise(t, CheckRetryLimit, T1REdcError, &t->CheckResyncs, CheckResyncLimit);
  }

  const BOOLEAN abortWasPending = t->AbortPending;
  const UCHAR kind = Answer[1] & T1PcbKindMask;
  T1_DECISION decision;
  if ((Answer[1] & T1PcbRBlock) == 0) {
    decision = EvaluateIBlock(ExchangeStatus, Answer, t);
  } else if (kind == T1PcbRBlock) {
    decision = EvaluateRBlock(Answer[1], t);
  } else {
    decision = EvaluateSBlock(Answer, t);
  }
  // Clause 11.6: once the card has aborted the chain, its next block ends
  // the transmission. The command has no answer: what came so far is not
  // one, and must not pass for one.
  if (abortWasPending && (decision.Action != T1Finish || NT_SUCCESS(decision.Status))) {
    return Finish(STATUS_DEVICE_PROTOCOL_ERROR);
  }
  return decision;
}
