// T=0 as the reader carries it: the command APDU reduced to the one TPDU a
// T=0 frame holds, the frame itself, and what a reply frame means. Pure
// functions of bytes.
//
// T=0 frame, both ways: 0x52, control byte, length as 16 bits big-endian,
// the bytes, check byte (exclusive-or of all bytes before it).
#pragma once

#include "platform/kernel/wdm.h"

// CLA INS P1 P2 P3 and at most 255 data bytes (ISO/IEC 7816-3 clause 10.3.2).
constexpr ULONG T0CommandMax = 260;
constexpr ULONG T0FrameOverhead = 5;
constexpr ULONG T0FrameMax = T0CommandMax + T0FrameOverhead;
// Replies are read in transfers of the largest frame.
constexpr ULONG T0ReplyReadSize = T0FrameMax;
// Where the card's bytes start in a reply frame.
constexpr ULONG T0ReplyDataOffset = 4;

// The TPDU of a command: bytes 0 to 3 of the command, then, when Length is 5
// or more, P3, then Length - 5 bytes from DataOffset of the command.
struct T0_COMMAND {
  NTSTATUS Status;  // STATUS_SUCCESS, or why the command cannot be sent
  ULONG Length;
  UCHAR P3;
  ULONG DataOffset;
};

// Reduces the CommandLength bytes of Command (ISO/IEC 7816-3 clause 12.2):
// case 1 and 2 go as they are, a trailing Le is dropped, an extended Le
// becomes P3 (00 for 256 or more), an extended Lc below 256 becomes P3.
// Refusals: STATUS_IO_TIMEOUT for no command at all; STATUS_PORT_ALREADY_SET
// for fewer than 4 bytes or fewer data bytes than Lc announces;
// STATUS_INVALID_PARAMETER for an extended Lc of 0 or above 255;
// STATUS_BUFFER_TOO_SMALL for a case 2 whose P3 + 5 exceeds ReplyBufferLength.
// Nothing beyond CommandLength is read.
T0_COMMAND ReduceT0Command(const UCHAR* Command, ULONG CommandLength, ULONG ReplyBufferLength);

// Writes the frame of the reduced command into Frame (T0FrameMax bytes) and
// returns its length, Tpdu.Length + 5.
ULONG BuildT0Frame(const UCHAR* Command, const T0_COMMAND& Tpdu, UCHAR Control, PUCHAR Frame);

// Once the first 4 bytes of a reply are in: the length of the frame they
// announce. The reader's error reply, which carries a one-byte length at
// offset 2, is recognised by its first byte; 0 while fewer bytes are in.
ULONG T0ReplyFrameLength(const UCHAR* Reply, ULONG Received);

enum T0_REPLY_KIND : UCHAR {
  T0ReplyFailed,         // no usable answer
  T0ReplyNullProcedure,  // the card asks for more time (ISO/IEC 7816-3 clause 10.3.3)
  T0ReplyResponse,       // response data and SW1 SW2 from T0ReplyDataOffset
};

struct T0_REPLY {
  T0_REPLY_KIND Kind;
  ULONG ResponseLength;
};

// What the Received bytes of a reply mean. ReceiveStatus is STATUS_TIMEOUT
// when the frame did not complete in time. A frame is used only when it is
// exactly as long as it announces, its check byte is right, it is not the
// reader's error reply, and it carries at least one byte.
T0_REPLY EvaluateT0Reply(NTSTATUS ReceiveStatus, const UCHAR* Reply, ULONG Received);
