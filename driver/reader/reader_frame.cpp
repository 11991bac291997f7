// Frame building and reply layout of both generations.
#include "driver/reader/reader_frame.h"

namespace {

constexpr ULONG OldHeaderLength = 4;
constexpr ULONG NewHeaderLength = 3;
// No length is read before this many bytes have arrived, in either generation.
constexpr ULONG LengthBytesNeeded = 4;

}  // namespace

ULONG FrameHeaderLength(FRAME_GENERATION Generation) {
  return Generation == FrameGenerationOld ? OldHeaderLength : NewHeaderLength;
}

UCHAR FrameCheckByte(const UCHAR* Bytes, ULONG Length) {
  UCHAR check = 0;
  for (ULONG i = 0; i < Length; ++i) check ^= Bytes[i];
  return check;
}

ULONG BuildReaderCommandFrame(FRAME_GENERATION Generation, UCHAR SequenceByte, UCHAR Command, const UCHAR* Parameters,
                              ULONG ParameterCount, PUCHAR Frame) {
  if (ParameterCount > ReaderCommandParametersMax) return 0;
  const ULONG information = 2 + ParameterCount;
  ULONG p = 0;
  if (Generation == FrameGenerationOld) {
    Frame[p++] = OldCommandType;
    Frame[p++] = 0;
    Frame[p++] = 0;
    Frame[p++] = static_cast<UCHAR>(information);
  } else {
    Frame[p++] = NewCommandAddress;
    Frame[p++] = SequenceByte;
    Frame[p++] = static_cast<UCHAR>(information);
  }
  Frame[p++] = ReaderCommandClass;
  Frame[p++] = Command;
  for (ULONG i = 0; i < ParameterCount; ++i) Frame[p++] = Parameters[i];
  if (Generation == FrameGenerationNew) {
    Frame[p] = FrameCheckByte(Frame, p);
    ++p;
  }
  return p;
}

ULONG AnnouncedReplyLength(FRAME_GENERATION Generation, const UCHAR* Reply) {
  if (Generation == FrameGenerationOld) {
    return (static_cast<ULONG>(Reply[1]) << 16) | (static_cast<ULONG>(Reply[2]) << 8) | Reply[3];
  }
  return Reply[2];
}

REPLY_LAYOUT DescribeReply(FRAME_GENERATION Generation, const UCHAR* Reply, ULONG Received) {
  REPLY_LAYOUT layout{};
  layout.InformationOffset = FrameHeaderLength(Generation);
  if (Received < LengthBytesNeeded) return layout;
  layout.LengthKnown = TRUE;
  layout.InformationLength = AnnouncedReplyLength(Generation, Reply);
  const ULONG arrived = Received - layout.InformationOffset;
  layout.InformationPresent = arrived < layout.InformationLength ? arrived : layout.InformationLength;
  return layout;
}
