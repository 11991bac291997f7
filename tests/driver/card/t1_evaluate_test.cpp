// The evaluation of one T=1 answer, case by case: state and answer in,
// action and state out.
#include "driver/card/t1_evaluate.h"

#include <gtest/gtest.h>

#include "driver/card/t1_block.h"
#include "tests/driver/card/transmit_device.h"

namespace {

using transmittest::Bytes;

Bytes C(UCHAR pcb, const Bytes& inf = {}) { return transmittest::CardBlock(pcb, inf); }
Bytes Damaged(Bytes block) {
  block.back() ^= 0x01;
  return block;
}

// What the evaluation reads: T1Sequence, the current I-block's PCB (0x00: N(S) 0, last of its chain; 0x20:
// chained), the reply so far (8: nothing), the retries, every resync counter, abort pending.
struct Start {
  UCHAR sequence = 0x00, savedPcb = 0x00;
  ULONG received = 8;
  UCHAR retries = 0, resyncs = 0;
  BOOLEAN abort = FALSE;
};

constexpr NTSTATUS OK = STATUS_SUCCESS, DataError = STATUS_DEVICE_DATA_ERROR;
constexpr ULONG Proto = static_cast<ULONG>(STATUS_DEVICE_PROTOCOL_ERROR), Late = static_cast<ULONG>(STATUS_IO_TIMEOUT);
constexpr ULONG Small = static_cast<ULONG>(STATUS_BUFFER_TOO_SMALL);
constexpr T1_ACTION Send = T1SendBlock, Done = T1Finish, Next = T1NextChunk, Saved = T1ResendSaved, Last = T1ResendLast;

struct Row {
  const char* what;
  Start start;
  NTSTATUS exchange;
  Bytes answer;
  T1_ACTION action;
  ULONG value;  // the PCB sent, or the status finished with
  UCHAR sequence, retries;
};

// clang-format off
const Row Rows[] = {
    // The exchange itself, a missing answer (or the reader's error reply), a damaged one.
    {"exchange failed", {}, DataError, {}, Done, static_cast<ULONG>(DataError), 0x00, 0},
    {"no answer: R(other)", {}, STATUS_TIMEOUT, {}, Send, 0x82, 0x00, 1},
    {"no answer, third time: RESYNCH", {.retries = 2}, STATUS_TIMEOUT, {}, Send, 0xC0, 0x00, 0},
    {"no answer after one RESYNCH", {.retries = 2, .resyncs = 1}, STATUS_TIMEOUT, {}, Done, Proto, 0, 3},
    {"error reply: R(other)", {.sequence = 0x10}, OK, transmittest::Hex("21 00 04 01 52 F2 AD 29"), Send, 0x92, 0x10, 1},
    {"wrong LRC: R(EDC)", {.sequence = 0x10}, OK, Damaged(C(0x00, {0x90, 0x00})), Send, 0x91, 0x10, 1},
    {"LEN longer than the block: R(EDC)", {}, OK, transmittest::Hex("25 00 02 90 B7"), Send, 0x81, 0x00, 1},
    {"wrong LRC after one RESYNCH", {.retries = 2, .resyncs = 1}, OK, Damaged(C(0x00)), Done, Proto, 0, 3},
    // R-blocks, error code 0.
    {"R(1) acknowledges the chained I(0)", {.savedPcb = 0x20}, OK, C(0x90), Next, 0, 0x40, 0},
    {"R(1) after the unchained I(0)", {}, OK, C(0x90), Done, Late, 0x00, 0},
    {"R(0) for I(0)", {}, OK, C(0x80), Send, 0x82, 0x00, 1},
    {"R(1) once response data came", {.received = 20}, OK, C(0x90), Send, 0x82, 0x00, 1},
    {"R(0), fourth time", {.retries = 3}, OK, C(0x80), Done, Proto, 0x00, 4},
    // Error code 1.
    {"R(1, EDC) once response data came", {.received = 20}, OK, C(0x91), Last, 0, 0x00, 1},
    {"R(0, EDC) for I(0)", {}, OK, C(0x81), Saved, 0, 0x00, 1},
    {"R(1, EDC) for the chained I(0)", {.savedPcb = 0x20}, OK, C(0x91), Next, 0, 0x40, 1},
    {"R(1, EDC) for the unchained I(0)", {}, OK, C(0x91), Last, 0, 0x00, 1},
    {"R(0, EDC), fourth time", {.retries = 3}, OK, C(0x81), Done, Proto, 0x00, 4},
    // Error code 2.
    {"R(0, other), third time: RESYNCH", {.retries = 2}, OK, C(0x82), Send, 0xC0, 0x00, 0},
    {"R(0, other) after two RESYNCH", {.retries = 2, .resyncs = 2}, OK, C(0x82), Done, Proto, 0, 3},
    {"R(1, other) for I(0): I(1)", {}, OK, C(0x92), Saved, 0, 0x40, 1},
    {"R(1, other) for the chained I(0)", {.savedPcb = 0x20}, OK, C(0x92), Next, 0, 0x40, 1},
    {"R(0, other) for I(0)", {}, OK, C(0x82), Saved, 0, 0x00, 1},
    {"R with error code 3", {}, OK, C(0x83), Done, Late, 0x00, 0},
    // S-blocks: IFS and WTX requests carry one INF byte; IFSC 0x00 and 0xFF are reserved.
    {"S(RESYNCH request)", {}, OK, C(0xC0), Done, Late, 0x00, 0},
    {"S(IFS request 0x80)", {}, OK, C(0xC1, {0x80}), Send, 0xE1, 0x00, 0},
    {"S(IFS request 0)", {}, OK, C(0xC1, {0x00}), Done, Late, 0x00, 0},
    {"S(IFS request 0xFF)", {}, OK, C(0xC1, {0xFF}), Done, Late, 0x00, 0},
    {"S(IFS request) without INF", {}, OK, C(0xC1), Done, Late, 0x00, 0},
    {"S(ABORT request)", {}, OK, C(0xC2), Send, 0xE2, 0x00, 0},
    {"S(WTX request 3)", {}, OK, C(0xC3, {0x03}), Send, 0xE3, 0x00, 0},
    {"S(WTX request) without INF", {}, OK, C(0xC3), Done, Late, 0x00, 0},
    {"S(RESYNCH response)", {.sequence = 0x50, .received = 20, .retries = 1}, OK, C(0xE0), T1Restart, 0, 0, 1},
    {"S(IFS response), never asked for", {}, OK, C(0xE1, {0x20}), Done, Late, 0x00, 0},
    // I-blocks; the card's first also acknowledges the driver's last.
    {"I(0), last", {.retries = 1}, OK, C(0x00, {0x90, 0x00}), Done, 0, 0x50, 0},
    {"I(0), chained: R(1)", {}, OK, C(0x20, {0x01}), Send, 0x90, 0x50, 0},
    {"I(1) once data came", {.sequence = 0x50, .received = 20}, OK, C(0x40, {0x90, 0x00}), Done, 0, 0x40, 0},
    {"I(1) when I(0) is due", {}, OK, C(0x40, {0x90, 0x00}), Send, 0x82, 0x00, 1},
    {"I(1) when I(0) is due, third time", {.retries = 2}, OK, C(0x40), Send, 0xC0, 0x00, 0},
    {"I(1) not due, after two RESYNCH", {.retries = 2, .resyncs = 2}, OK, C(0x40), Done, Proto, 0, 3},
    // Beyond the 300-byte reply: the card counts its block delivered, so the sequence moves on.
    {"I(0) beyond the reply", {.received = 299}, OK, C(0x00, {0x90, 0x00}), Done, Small, 0x10, 0},
    {"I(0), chained, beyond it: R(1) for the rest", {.received = 299}, OK, C(0x20, {1, 2}), Send, 0x90, 0x10, 0},
    // After S(ABORT response), the next block ends the transmission, which has no answer.
    {"R(0) after ABORT", {.abort = TRUE}, OK, C(0x80), Done, Proto, 0x00, 1},
    {"R with error code 3 after ABORT", {.abort = TRUE}, OK, C(0x83), Done, Late, 0x00, 0},
};
// clang-format on

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
    EXPECT_EQ(d.Action == Send ? d.Pcb : d.Action == Done ? static_cast<ULONG>(d.Status) : 0, row.value) << row.what;
    EXPECT_EQ(t.Sequence, row.sequence) << row.what;
    EXPECT_EQ(t.Retries, row.retries) << row.what;
  }
}

TEST(T1Evaluation, KeepsWhatTheCardAsksFor) {
  T1_TRANSMISSION t = StateOf({});
  const Bytes ifs = C(0xC1, {0x80}), wtx3 = C(0xC3, {0x03}), wtx0 = C(0xC3, {0x00}), resynch = C(0xE0);
  EvaluateT1Answer(OK, ifs.data(), 5, &t);
  EXPECT_EQ(t.ChunkSize, 0x80);
  EXPECT_EQ(EvaluateT1Answer(OK, wtx3.data(), 5, &t).Inf, 0x03);
  EXPECT_EQ(t.WaitTime, 3 * t.BlockWaitTime);
  EvaluateT1Answer(OK, wtx0.data(), 5, &t);
  EXPECT_EQ(t.WaitTime, t.BlockWaitTime);  // WTX 0 counts as 1
  // RESYNCH brings back the IFSC the transmission started with, and drops what came.
  t.Received = 40;
  EvaluateT1Answer(OK, resynch.data(), 4, &t);
  EXPECT_EQ(t.CardIfsc, 0x20);
  EXPECT_EQ(t.ChunkSize, 0x20);
  EXPECT_EQ(t.Received, 8u);
  // An ATR's reserved IFSC 0xFF chunks by the default, as 0x00 does.
  EXPECT_EQ(T1UsableIfsc(0xFF), 32);
  EXPECT_EQ(T1UsableIfsc(0xFE), 0xFE);
}

}  // namespace
