// Checked reads of the reply in ExchangeBuffer.
#include "driver/reader/reply.h"

#include "driver/reader/reader_frame.h"

namespace {

constexpr ULONG StatusByteCount = 2;

REPLY_LAYOUT DescribeCurrentReply(const DeviceContext* Context) {
  return DescribeReply(FrameGenerationFor(Context->FirmwareVersion), Context->ExchangeBuffer, Context->ExchangeLength);
}

}  // namespace

NTSTATUS ReadReplyByte(const DeviceContext* Context, ULONG Index, PUCHAR Value) {
  const REPLY_LAYOUT layout = DescribeCurrentReply(Context);
  if (Index >= layout.InformationPresent) return STATUS_DEVICE_DATA_ERROR;
  *Value = Context->ExchangeBuffer[layout.InformationOffset + Index];
  return STATUS_SUCCESS;
}

NTSTATUS ReadReplyStatusBytes(const DeviceContext* Context, PUCHAR StatusBytes) {
  const REPLY_LAYOUT layout = DescribeCurrentReply(Context);
  // The status bytes end the information field as announced; a reply that
  // stopped short of its end does not hold them.
  if (layout.InformationLength < StatusByteCount || layout.InformationPresent < layout.InformationLength) {
    return STATUS_DEVICE_DATA_ERROR;
  }
  const ULONG first = layout.InformationOffset + layout.InformationLength - StatusByteCount;
  StatusBytes[0] = Context->ExchangeBuffer[first];
  StatusBytes[1] = Context->ExchangeBuffer[first + 1];
  return STATUS_SUCCESS;
}
