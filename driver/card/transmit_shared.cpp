// The reader's error reply and the overall time bound, for every transmit path.
#include "driver/card/transmit_paths.h"
#include "driver/reader/reader_frame.h"

namespace {

constexpr UCHAR ErrorReplyAddress = 0x21;
constexpr ULONG ErrorReplyInformationLength = 4;
constexpr UCHAR ErrorReplyCodeMask = 0xF0;
constexpr UCHAR ErrorReplyMarker = 0xAD;

}  // namespace

BOOLEAN IsReaderErrorReply(FRAME_GENERATION Generation, const UCHAR* Reply, ULONG Length) {
  const ULONG header = FrameHeaderLength(Generation);
  if (Length != ErrorReplyInformationLength + FrameOverhead || Reply[0] != ErrorReplyAddress) return FALSE;
  if (AnnouncedReplyLength(Generation, Reply) != ErrorReplyInformationLength) return FALSE;
  const UCHAR* information = Reply + header;
  const BOOLEAN refusal = (information[2] & ErrorReplyCodeMask) == ErrorReplyCodeMask ? TRUE : FALSE;
  return refusal && information[3] == ErrorReplyMarker ? TRUE : FALSE;
}

LONGLONG TransmissionDeadline() {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  return now.QuadPart + TransmissionTimeLimit;
}

BOOLEAN WaitBeforeDeadline(LONGLONG Deadline, LONGLONG Wait, LONGLONG* Allowed) {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  const LONGLONG left = Deadline - now.QuadPart;
  if (left <= 0) return FALSE;
  *Allowed = Wait < left ? Wait : left;
  return TRUE;
}

NTSTATUS PlaceResponse(PSMARTCARD_EXTENSION SmartcardExtension, const UCHAR* Response, ULONG Length) {
  // The header is in the reply already; the length is the card's or the reader's.
  const auto& io = SmartcardExtension->IoRequest;
  if (Length > io.ReplyBufferLength - TransmitHeaderLength) return STATUS_BUFFER_TOO_SMALL;
  RtlCopyMemory(io.ReplyBuffer + TransmitHeaderLength, Response, Length);
  *io.Information = TransmitHeaderLength + Length;
  return STATUS_SUCCESS;
}
