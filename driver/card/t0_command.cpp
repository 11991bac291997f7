// The T=0 command-case reduction, the T=0 frame and the reply's meaning.
#include "driver/card/t0_command.h"

#include "driver/card/transmit_paths.h"
#include "driver/reader/reader_frame.h"

namespace {

constexpr ULONG HeaderLength = 4;  // CLA INS P1 P2
constexpr ULONG P3Offset = 4;
constexpr ULONG ShortDataOffset = 5;
// An extended length field: 00, then two bytes (ISO/IEC 7816-3 clause 12.1.3).
constexpr ULONG ExtendedLengthLength = 3;
constexpr ULONG ExtendedDataOffset = P3Offset + ExtendedLengthLength;
// The early case 2 test compares P3 + 5 with the reply buffer; the exact
// test follows once the card's answer is in.
constexpr ULONG Case2ReplyMargin = 5;
constexpr UCHAR CardFrameAddress = 0x52;
constexpr UCHAR ErrorReplyAddress = 0x21;
constexpr UCHAR NullProcedureByte = 0x60;
constexpr ULONG NullProcedureFrameLength = T0FrameOverhead + 1;

T0_COMMAND Refuse(NTSTATUS status) { return T0_COMMAND{status, 0, 0, 0}; }

T0_COMMAND Tpdu(ULONG length, UCHAR p3, ULONG dataOffset) { return T0_COMMAND{STATUS_SUCCESS, length, p3, dataOffset}; }

// Case 2: the card sends up to P3 bytes and SW1 SW2; a reply buffer that
// cannot take P3 + 5 is refused before the card is troubled.
T0_COMMAND Case2(UCHAR p3, ULONG replyBufferLength) {
  if (static_cast<ULONG>(p3) + Case2ReplyMargin > replyBufferLength) return Refuse(STATUS_BUFFER_TOO_SMALL);
  return Tpdu(HeaderLength + 1, p3, 0);
}

}  // namespace

T0_COMMAND ReduceT0Command(const UCHAR* Command, ULONG CommandLength, ULONG ReplyBufferLength) {
  const ULONG length = CommandLength;
  if (length == 0) return Refuse(STATUS_IO_TIMEOUT);
  if (length < HeaderLength) return Refuse(STATUS_PORT_ALREADY_SET);
  if (length == HeaderLength) return Tpdu(HeaderLength, 0, 0);
  const UCHAR p3 = Command[P3Offset];
  if (length == HeaderLength + 1) return Case2(p3, ReplyBufferLength);

  if (p3 != 0) {
    // Short case 3 or 4: Lc data bytes must be there; a trailing Le is dropped.
    const ULONG needed = ShortDataOffset + p3;
    if (length < needed) return Refuse(STATUS_PORT_ALREADY_SET);
    return Tpdu(needed, p3, ShortDataOffset);
  }
  // P3 = 0 with more bytes behind it.
  if (length == ShortDataOffset + 1) return Tpdu(length, 0, ShortDataOffset);
  if (length == ExtendedDataOffset) {
    // Extended case 2: an Le of 256 or more asks for all the card has, P3 = 00.
    const UCHAR shortLe = Command[P3Offset + 1] == 0 ? Command[P3Offset + 2] : 0;
    return Case2(shortLe, ReplyBufferLength);
  }
  // Extended case 3 or 4. A T=0 frame carries at most 255 data bytes, and an
  // extended Lc of 0 announces no command at all (clause 12.1.3).
  const UCHAR lc = Command[P3Offset + 2];
  if (Command[P3Offset + 1] != 0 || lc == 0) return Refuse(STATUS_INVALID_PARAMETER);
  const ULONG needed = ExtendedDataOffset + lc;
  if (length < needed) return Refuse(STATUS_PORT_ALREADY_SET);
  return Tpdu(ShortDataOffset + lc, lc, ExtendedDataOffset);
}

ULONG BuildT0Frame(const UCHAR* Command, const T0_COMMAND& Tpdu, UCHAR Control, PUCHAR Frame) {
  Frame[0] = CardFrameAddress;
  Frame[1] = Control;
  Frame[2] = static_cast<UCHAR>(Tpdu.Length >> 8);
  Frame[3] = static_cast<UCHAR>(Tpdu.Length);
  PUCHAR tpdu = Frame + 4;
  RtlCopyMemory(tpdu, Command, HeaderLength);
  if (Tpdu.Length > HeaderLength) {
    tpdu[P3Offset] = Tpdu.P3;
    RtlCopyMemory(tpdu + ShortDataOffset, Command + Tpdu.DataOffset, Tpdu.Length - ShortDataOffset);
  }
  const ULONG checkOffset = 4 + Tpdu.Length;
  Frame[checkOffset] = FrameCheckByte(Frame, checkOffset);
  return checkOffset + 1;
}

ULONG T0ReplyFrameLength(const UCHAR* Reply, ULONG Received) {
  if (Received < 4) return 0;
  if (Reply[0] == ErrorReplyAddress) return Reply[2] + FrameOverhead;
  return ((static_cast<ULONG>(Reply[2]) << 8) | Reply[3]) + T0FrameOverhead;
}

T0_REPLY EvaluateT0Reply(NTSTATUS ReceiveStatus, const UCHAR* Reply, ULONG Received) {
  const T0_REPLY failed{T0ReplyFailed, 0};
  if (ReceiveStatus == STATUS_TIMEOUT) return failed;
  // Bytes beyond the frame, or a frame longer than a T=0 reply can be, are
  // no answer of the card's.
  const ULONG frameLength = T0ReplyFrameLength(Reply, Received);
  if (frameLength == 0 || frameLength != Received || frameLength > T0FrameMax) return failed;
  if (FrameCheckByte(Reply, Received - 1) != Reply[Received - 1]) return failed;
  if (IsReaderErrorReply(FrameGenerationNew, Reply, Received)) return failed;
  if (Received == NullProcedureFrameLength && Reply[T0ReplyDataOffset] == NullProcedureByte) {
    return T0_REPLY{T0ReplyNullProcedure, 0};
  }
  const ULONG responseLength = Received - T0FrameOverhead;
  if (responseLength == 0) return failed;
  return T0_REPLY{T0ReplyResponse, responseLength};
}
