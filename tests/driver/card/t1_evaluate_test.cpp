// The evaluation of one T=1 answer, case by case:
// state and answer in, action and state out.
#include <gtest/gtest.h>

#include "driver/card/t1_block.h"
#include "driver/card/t1_evaluate.h"
#include "tests/driver/card/transmit_device.h"

namespace {

using transmittest::Bytes;
using transmittest::CardBlock;

// What the evaluation reads: T1Sequence, the current I-block's PCB (0x00: N(S)
// 0, last of its chain; 0x20: chained), the reply so far (8: nothing), the
// retries, every resync counter, abort pending.
struct Start {
  UCHAR sequence = 0x00;
  UCHAR savedPcb = 0x00;
  ULONG received = 8;
  UCHAR retries = 0;
  UCHAR resyncs = 0;
  BOOLEAN abort = FALSE;
};

struct Row {
  const char* what;
  Start start;
  NTSTATUS exchange;
  Bytes answer;
  T1_ACTION action;
  ULONG value;  // the PCB sent, or the status finished with
  UCHAR sequence;
  UCHAR retries;
};

Bytes Damaged(Bytes block) {
  block.back() ^= 0x01;
  return block;
}

constexpr NTSTATUS OK = STATUS_SUCCESS;
constexpr ULONG ProtocolError = static_cast<ULONG>(STATUS_DEVICE_PROTOCOL_ERROR);
constexpr ULONG IoTimeout = static_cast<ULONG>(STATUS_IO_TIMEOUT);
constexpr ULONG DataError = static_cast<ULONG>(STATUS_DEVICE_DATA_ERROR);
const Bytes ErrorReply{0x21, 0x00, 0x04, 0x01, 0x52, 0xF2, 0xAD, 0x29};

const Row Rows[] = {
    // The exchange itself.
    {"exchange failed", {}, STATUS_DEVICE_DATA_ERROR, {}, T1Finish, DataError, 0x00, 0},
    {"no answer: R(other)", {}, STATUS_TIMEOUT, {}, T1SendBlock, 0x82, 0x00, 1},
    {"no answer, third time: RESYNCH", {.retries = 2}, STATUS_TIMEOUT, {}, T1SendBlock, 0xC0, 0x00, 0},
    {"no answer after one RESYNCH", {.retries = 2, .resyncs = 1}, STATUS_TIMEOUT, {}, T1Finish, ProtocolError, 0x00, 3},
    {"reader's error reply: R(other)", {.sequence = 0x10}, OK, ErrorReply, T1SendBlock, 0x92, 0x10, 1},
    {"wrong LRC: R(EDC)", {.sequence = 0x10}, OK, Damaged(CardBlock(0x00, {0x90, 0x00})), T1SendBlock, 0x91, 0x10, 1},
    {"LEN longer than the block: R(EDC)", {}, OK, {0x25, 0x00, 0x02, 0x90, 0xB7}, T1SendBlock, 0x81, 0x00, 1},
    {"wrong LRC, third time: RESYNCH", {.retries = 2}, OK, Damaged(CardBlock(0x00)), T1SendBlock, 0xC0, 0x00, 0},
    {"wrong LRC after one RESYNCH", {.retries = 2, .resyncs = 1}, OK, Damaged(CardBlock(0x00)), T1Finish,
     ProtocolError, 0x00, 3},
    // R-blocks, error code 0.
    {"R(1) acknowledges the chained I(0)", {.savedPcb = 0x20}, OK, CardBlock(0x90), T1NextChunk, 0, 0x40, 0},
    {"R(1) after the unchained I(0)", {}, OK, CardBlock(0x90), T1Finish, IoTimeout, 0x00, 0},
    {"R(0) for I(0)", {}, OK, CardBlock(0x80), T1SendBlock, 0x82, 0x00, 1},
    {"R(1) once response data came", {.received = 20}, OK, CardBlock(0x90), T1SendBlock, 0x82, 0x00, 1},
    {"R(0), fourth time", {.retries = 3}, OK, CardBlock(0x80), T1Finish, ProtocolError, 0x00, 4},
    // Error code 1.
    {"R(0, EDC), fourth time", {.retries = 3}, OK, CardBlock(0x81), T1Finish, ProtocolError, 0x00, 4},
    {"R(1, EDC) once response data came", {.received = 20}, OK, CardBlock(0x91), T1ResendLast, 0, 0x00, 1},
    {"R(0, EDC) for I(0)", {}, OK, CardBlock(0x81), T1ResendSaved, 0, 0x00, 1},
    {"R(1, EDC) for the chained I(0)", {.savedPcb = 0x20}, OK, CardBlock(0x91), T1NextChunk, 0, 0x40, 1},
    {"R(1, EDC) for the unchained I(0)", {}, OK, CardBlock(0x91), T1ResendLast, 0, 0x00, 1},
    // Error code 2.
    {"R(0, other), third time: RESYNCH", {.retries = 2}, OK, CardBlock(0x82), T1SendBlock, 0xC0, 0x00, 0},
    {"R(0, other) after two RESYNCH", {.retries = 2, .resyncs = 2}, OK, CardBlock(0x82), T1Finish, ProtocolError,
     0x00, 3},
    {"R(1, other) for I(0): I(1)", {}, OK, CardBlock(0x92), T1ResendSaved, 0, 0x40, 1},
    {"R(1, other) for the chained I(0)", {.savedPcb = 0x20}, OK, CardBlock(0x92), T1NextChunk, 0, 0x40, 1},
    {"R(0, other) for I(0)", {}, OK, CardBlock(0x82), T1ResendSaved, 0, 0x00, 1},
    {"R with error code 3", {}, OK, CardBlock(0x83), T1Finish, IoTimeout, 0x00, 0},
    // S-blocks.
    {"S(RESYNCH request)", {}, OK, CardBlock(0xC0), T1Finish, IoTimeout, 0x00, 0},
    {"S(IFS request 0x80)", {}, OK, CardBlock(0xC1, {0x80}), T1SendBlock, 0xE1, 0x00, 0},
    {"S(IFS request 0)", {}, OK, CardBlock(0xC1, {0x00}), T1Finish, IoTimeout, 0x00, 0},
    {"S(IFS request 0xFF)", {}, OK, CardBlock(0xC1, {0xFF}), T1Finish, IoTimeout, 0x00, 0},
    {"S(IFS request) without INF", {}, OK, CardBlock(0xC1), T1Finish, IoTimeout, 0x00, 0},
    {"S(ABORT request)", {}, OK, CardBlock(0xC2), T1SendBlock, 0xE2, 0x00, 0},
    {"S(WTX request 3)", {}, OK, CardBlock(0xC3, {0x03}), T1SendBlock, 0xE3, 0x00, 0},
    {"S(WTX request) without INF", {}, OK, CardBlock(0xC3), T1Finish, IoTimeout, 0x00, 0},
    {"S(RESYNCH response)", {.sequence = 0x50, .received = 20, .retries = 1}, OK, CardBlock(0xE0), T1Restart, 0,
     0x00, 1},
    {"S(IFS response), never asked for", {}, OK, CardBlock(0xE1, {0x20}), T1Finish, IoTimeout, 0x00, 0},
    // I-blocks.
    {"I(0), last", {.retries = 1}, OK, CardBlock(0x00, {0x90, 0x00}), T1Finish, 0, 0x50, 0},
    {"I(0), chained: R(1)", {}, OK, CardBlock(0x20, {0x01}), T1SendBlock, 0x90, 0x50, 0},
    {"I(1) once data came", {.sequence = 0x50, .received = 20}, OK, CardBlock(0x40, {0x90, 0x00}), T1Finish, 0,
     0x40, 0},
    {"I(1) when I(0) is due", {}, OK, CardBlock(0x40, {0x90, 0x00}), T1SendBlock, 0x82, 0x00, 1},
    {"I(1) when I(0) is due, third time", {.retries = 2}, OK, CardBlock(0x40), T1SendBlock, 0xC0, 0x00, 0},
    {"I(1) when I(0) is due, after two RESYNCH", {.retries = 2, .resyncs = 2}, OK, CardBlock(0x40), T1Finish,
     ProtocolError, 0x00, 3},
    // Data beyond the reply buffer: the card counts its block delivered, so the sequence moves on.
    {"I(0) beyond the reply buffer", {.received = 299}, OK, CardBlock(0x00, {0x90, 0x00}), T1Finish,
     static_cast<ULONG>(STATUS_BUFFER_TOO_SMALL), 0x10, 0},
    {"I(0), chained, beyond the reply buffer: R(1) for the rest", {.received = 299}, OK, CardBlock(0x20, {1, 2}),
     T1SendBlock, 0x90, 0x10, 0},
    // After S(ABORT response), the next block ends the transmission, which has no answer.
    {"R(0) after ABORT", {.abort = TRUE}, OK, CardBlock(0x80), T1Finish, ProtocolError, 0x00, 1},
    {"I(1), not due, after ABORT", {.abort = TRUE}, OK, CardBlock(0x40), T1Finish, ProtocolError, 0x00, 1},
    {"R with error code 3 after ABORT", {.abort = TRUE}, OK, CardBlock(0x83), T1Finish, IoTimeout, 0x00, 0},
};

T1_TRANSMISSION StateOf(const Start& start) {
  T1_TRANSMISSION t{};
  t.Sequence = start.sequence;
  t.SavedPcb = start.savedPcb;
  t.CardIfsc = t.ChunkSize = t.InitialIfsc = 0x20;
  t.Retries = start.retries;
  t.SequenceResyncs = t.CheckResyncs = t.SilenceResyncs = start.resyncs;
  t.AbortPending = start.abort;
  t.Received = start.received;
  t.ReplyBufferLength = 300;
  t.BlockWaitTime = t.WaitTime = 1000;
  return t;
}

TEST(T1Evaluation, AnswersEveryKindOfBlock) {
  for (const Row& row : Rows) {
    T1_TRANSMISSION t = StateOf(row.start);
    const T1_DECISION d = EvaluateT1Answer(row.exchange, row.answer.data(), static_cast<ULONG>(row.answer.size()), &t);
    EXPECT_EQ(d.Action, row.action) << row.what;
    const ULONG value = d.Action == T1SendBlock ? d.Pcb : d.Action == T1Finish ? static_cast<ULONG>(d.Status) : 0;
    EXPECT_EQ(value, row.value) << row.what;
    EXPECT_EQ(t.Sequence, row.sequence) << row.what;
    EXPECT_EQ(t.Retries, row.retries) << row.what;
  }
}

TEST(T1Evaluation, KeepsWhatTheCardAsksFor) {
  T1_TRANSMISSION t = StateOf({});
  const Bytes ifs = CardBlock(0xC1, {0x80});
  T1_DECISION d = EvaluateT1Answer(OK, ifs.data(), 5, &t);
  EXPECT_EQ(d.Inf, 0x80);
  EXPECT_EQ(d.InfLength, 1);
  EXPECT_EQ(t.CardIfsc, 0x80);
  EXPECT_EQ(t.ChunkSize, 0x80);

  for (const UCHAR multiplier : {0x03, 0x00}) {
    const Bytes wtx = CardBlock(0xC3, {multiplier});
    d = EvaluateT1Answer(OK, wtx.data(), 5, &t);
    EXPECT_EQ(d.Inf, multiplier);
    EXPECT_EQ(t.WaitTime, (multiplier == 0 ? 1 : multiplier) * t.BlockWaitTime);
  }

  // RESYNCH brings back the IFSC the transmission started with.
  const Bytes resynch = CardBlock(0xE0);
  t.Received = 40;
  EXPECT_EQ(EvaluateT1Answer(OK, resynch.data(), 4, &t).Action, T1Restart);
  EXPECT_EQ(t.CardIfsc, 0x20);
  EXPECT_EQ(t.ChunkSize, 0x20);
  EXPECT_EQ(t.Received, 8u);

  // R(other) naming the other N(S): the current I-block takes it.
  t = StateOf({});
  const Bytes r = CardBlock(0x92);
  EvaluateT1Answer(OK, r.data(), 4, &t);
  EXPECT_EQ(t.SavedPcb, 0x40);

  // An accepted I-block's INF goes behind what the reply holds.
  t = StateOf({.received = 20});
  t.Sequence = 0x50;
  const Bytes i = CardBlock(0x40, {0x61, 0x62, 0x90, 0x00});
  d = EvaluateT1Answer(OK, i.data(), 8, &t);
  EXPECT_EQ(d.AppendAt, 20u);
  EXPECT_EQ(d.AppendLength, 4u);
  EXPECT_EQ(t.Received, 24u);
}

TEST(T1Evaluation, ChunksByADefaultForReservedSizes) {
  EXPECT_EQ(T1UsableIfsc(0x00), 32);
  EXPECT_EQ(T1UsableIfsc(0xFF), 32);
  EXPECT_EQ(T1UsableIfsc(0x01), 1);
  EXPECT_EQ(T1UsableIfsc(0xFE), 0xFE);
}

}  // namespace
