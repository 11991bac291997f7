// The evaluation of one answer during a T=1 transmission: the exchange's
// status, the card's block and the transmission's state in, the next action
// out, the state brought up to date. No I/O: TransmitT1Blocks carries the
// action out.
#pragma once

#include "platform/kernel/wdm.h"

// What one transmission knows while it runs.
struct T1_TRANSMISSION {
  UCHAR Sequence;         // T1Sequence: T1SendSequence and T1ExpectedSequence
  UCHAR SavedPcb;         // PCB of the current I-block as SavedBlock holds it
  UCHAR CardIfsc;
  UCHAR ChunkSize;        // largest INF of the I-blocks still to be built
  UCHAR InitialIfsc;      // what a resynchronisation returns to
  UCHAR Retries;          // attempts on the current block
  UCHAR SequenceResyncs;  // after wrong N(S) and R-blocks with error code 2
  UCHAR CheckResyncs;     // after damaged blocks
  UCHAR SilenceResyncs;   // after missing answers and the reader's error reply
  BOOLEAN AbortPending;   // an S(ABORT response) has been built
  BOOLEAN Overflowed;     // response data did not fit; the rest of the chain is dropped
  ULONG Received;         // bytes in the reply: the header, then response data
  ULONG ReplyBufferLength;
  LONGLONG BlockWaitTime;
  LONGLONG WaitTime;      // how long each exchange waits for the card's block
};

enum T1_ACTION : UCHAR {
  T1SendBlock,    // build the R- or S-block Pcb, with Inf when InfLength is 1, and send it
  T1ResendLast,   // send the block in BlockBuffer again
  T1ResendSaved,  // send the current I-block again from SavedBlock, its PCB now SavedPcb
  T1NextChunk,    // the current I-block is acknowledged: build the next one
  T1Restart,      // resynchronised: send the command again from its first byte
  T1Finish,       // the transmission ends with Status
};

struct T1_DECISION {
  T1_ACTION Action;
  UCHAR Pcb;
  UCHAR Inf;
  UCHAR InfLength;
  NTSTATUS Status;
  // Response data of an accepted I-block: AppendLength bytes from its INF
  // go to the reply at AppendAt.
  ULONG AppendAt;
  ULONG AppendLength;
};

// An information field size the driver can chunk by: the reserved values
// 0x00 and 0xFF (ISO/IEC 7816-3 clause 11.4) give the default, 32.
UCHAR T1UsableIfsc(UCHAR Ifsc);

// ExchangeStatus and the AnswerLength bytes of Answer are what
// CommandExchange returned for the block last sent.
T1_DECISION EvaluateT1Answer(NTSTATUS ExchangeStatus, const UCHAR* Answer, ULONG AnswerLength,
                             T1_TRANSMISSION* Transmission);
