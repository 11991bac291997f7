// The T=0 command-case reduction and the meaning of a reply frame, as
// tables of annotated bytes.
#include <gtest/gtest.h>

#include "driver/card/t0_command.h"
#include "tests/driver/card/transmit_device.h"

namespace {

using transmittest::Bytes;

struct Reduction {
  const char* what;
  Bytes command;
  ULONG replyLength;
  NTSTATUS status;
  Bytes tpdu;  // what the T=0 frame carries
};

const Reduction Reductions[] = {
    {"nothing", {}, 300, STATUS_IO_TIMEOUT, {}},
    {"three bytes", {0x00, 0xA4, 0x00}, 300, STATUS_PORT_ALREADY_SET, {}},
    {"case 1", {0x00, 0xA4, 0x00, 0x00}, 300, STATUS_SUCCESS, {0x00, 0xA4, 0x00, 0x00}},
    {"case 2, Le 16, reply 20", {0x00, 0xB0, 0x00, 0x00, 0x10}, 20, STATUS_BUFFER_TOO_SMALL, {}},
    {"case 2, Le 16, reply 21", {0x00, 0xB0, 0x00, 0x00, 0x10}, 21, STATUS_SUCCESS, {0x00, 0xB0, 0x00, 0x00, 0x10}},
    {"case 3", {0x00, 0xD6, 0x00, 0x00, 0x02, 0xD1, 0xD2}, 300, STATUS_SUCCESS,
     {0x00, 0xD6, 0x00, 0x00, 0x02, 0xD1, 0xD2}},
    {"case 3, Lc 3 with 2 data bytes", {0x00, 0xD6, 0x00, 0x00, 0x03, 0xD1, 0xD2}, 300, STATUS_PORT_ALREADY_SET, {}},
    {"case 4: Le dropped", {0x00, 0xA4, 0x00, 0x00, 0x02, 0xD1, 0xD2, 0x00}, 300, STATUS_SUCCESS,
     {0x00, 0xA4, 0x00, 0x00, 0x02, 0xD1, 0xD2}},
    {"P3 00 and one byte: as it is", {0x00, 0xD6, 0x00, 0x00, 0x00, 0xD1}, 300, STATUS_SUCCESS,
     {0x00, 0xD6, 0x00, 0x00, 0x00, 0xD1}},
    {"extended Le 0x0020", {0x00, 0xB0, 0x00, 0x00, 0x00, 0x00, 0x20}, 300, STATUS_SUCCESS,
     {0x00, 0xB0, 0x00, 0x00, 0x20}},
    {"extended Le 0x0100: all", {0x00, 0xB0, 0x00, 0x00, 0x00, 0x01, 0x00}, 300, STATUS_SUCCESS,
     {0x00, 0xB0, 0x00, 0x00, 0x00}},
    {"extended Le 0x0020, reply 36", {0x00, 0xB0, 0x00, 0x00, 0x00, 0x00, 0x20}, 36, STATUS_BUFFER_TOO_SMALL, {}},
    {"extended Lc 3", {0x00, 0xD6, 0x00, 0x00, 0x00, 0x00, 0x03, 0xD1, 0xD2, 0xD3}, 300, STATUS_SUCCESS,
     {0x00, 0xD6, 0x00, 0x00, 0x03, 0xD1, 0xD2, 0xD3}},
    {"extended Lc 3 and Le: Le dropped", {0x00, 0xD6, 0x00, 0x00, 0x00, 0x00, 0x03, 0xD1, 0xD2, 0xD3, 0x00, 0x00},
     300, STATUS_SUCCESS, {0x00, 0xD6, 0x00, 0x00, 0x03, 0xD1, 0xD2, 0xD3}},
    {"extended Lc 0x0103", {0x00, 0xD6, 0x00, 0x00, 0x00, 0x01, 0x03, 0xD1}, 300, STATUS_INVALID_PARAMETER, {}},
    {"extended Lc 0", {0x00, 0xD6, 0x00, 0x00, 0x00, 0x00, 0x00, 0xD1}, 300, STATUS_INVALID_PARAMETER, {}},
    {"extended Lc 3 with 2 data bytes", {0x00, 0xD6, 0x00, 0x00, 0x00, 0x00, 0x03, 0xD1, 0xD2}, 300,
     STATUS_PORT_ALREADY_SET, {}},
};

TEST(T0Reduction, FollowsTheCommandCases) {
  for (const Reduction& row : Reductions) {
    const ULONG length = static_cast<ULONG>(row.command.size());
    const T0_COMMAND tpdu = ReduceT0Command(row.command.data(), length, row.replyLength);
    EXPECT_EQ(tpdu.Status, row.status) << row.what;
    if (tpdu.Status != STATUS_SUCCESS) continue;
    UCHAR frame[T0FrameMax];
    const ULONG frameLength = BuildT0Frame(row.command.data(), tpdu, 0x40, frame);
    // 52 40 <length, 2 bytes> <tpdu> <check byte>
    const Bytes expected = transmittest::Concat(
        {{0x52, 0x40, 0x00, static_cast<UCHAR>(row.tpdu.size())}, row.tpdu, {0x00}});
    ASSERT_EQ(frameLength, expected.size()) << row.what;
    UCHAR check = 0;
    for (ULONG i = 0; i + 1 < frameLength; ++i) check ^= frame[i];
    EXPECT_EQ(Bytes(frame, frame + frameLength - 1), Bytes(expected.begin(), expected.end() - 1)) << row.what;
    EXPECT_EQ(frame[frameLength - 1], check) << row.what;
  }
}

struct Reply {
  const char* what;
  NTSTATUS receive;
  Bytes frame;
  T0_REPLY_KIND kind;
  ULONG responseLength;
};

const Reply Replies[] = {
    {"SW1 SW2", STATUS_SUCCESS, {0x52, 0x00, 0x00, 0x02, 0x90, 0x00, 0xC0}, T0ReplyResponse, 2},
    {"NULL procedure byte", STATUS_SUCCESS, {0x52, 0x00, 0x00, 0x01, 0x60, 0x33}, T0ReplyNullProcedure, 0},
    {"too late", STATUS_TIMEOUT, {0x52, 0x00, 0x00, 0x02, 0x90, 0x00, 0xC0}, T0ReplyFailed, 0},
    {"wrong check byte", STATUS_SUCCESS, {0x52, 0x00, 0x00, 0x02, 0x90, 0x00, 0xC1}, T0ReplyFailed, 0},
    {"no card bytes", STATUS_SUCCESS, {0x52, 0x00, 0x00, 0x00, 0x52}, T0ReplyFailed, 0},
    {"more than a T=0 reply holds", STATUS_SUCCESS, {0x52, 0x00, 0x02, 0x00, 0x90, 0x00, 0xC0}, T0ReplyFailed, 0},
    {"a byte behind the frame", STATUS_SUCCESS, {0x52, 0x00, 0x00, 0x02, 0x90, 0x00, 0xC0, 0x00}, T0ReplyFailed, 0},
    // 21 s 04 01 <command> F<code> AD c: one-byte length, complete at 8 bytes.
    {"reader's error reply", STATUS_SUCCESS, {0x21, 0x00, 0x04, 0x01, 0x52, 0xF1, 0xAD, 0x2A}, T0ReplyFailed, 0},
};

TEST(T0Reply, IsUsedOnlyWhenWholeAndRight) {
  for (const Reply& row : Replies) {
    const T0_REPLY reply = EvaluateT0Reply(row.receive, row.frame.data(), static_cast<ULONG>(row.frame.size()));
    EXPECT_EQ(reply.Kind, row.kind) << row.what;
    EXPECT_EQ(reply.ResponseLength, row.responseLength) << row.what;
  }
  const UCHAR errorReply[] = {0x21, 0x00, 0x04, 0x01};
  EXPECT_EQ(T0ReplyFrameLength(errorReply, 4), 8u);
}

}  // namespace
