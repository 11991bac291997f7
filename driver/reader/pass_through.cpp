// PassThroughFrame: a raw reader frame from an application, and its reply.
#include "driver/reader/reader_commands.h"
#include "driver/reader/reader_frame.h"
#include "driver/reader/reader_lock.h"
#include "driver/reader/transport.h"
#include "driver/reader/vendor_ioctl.h"

namespace {

// 00 F5 restarts the reader's firmware, which forgets its set-up.
constexpr UCHAR RestartClass = 0x00;
constexpr UCHAR RestartCommand = 0xF5;
constexpr ULONG RestartFrameMin = 5;

// Whether an application's frame may be sent: a type or address byte the
// pass-through carries, a length within its limit, and exactly the N + 4
// bytes its header announces, so the reader never waits for the rest of a
// frame or takes the tail of one as the start of the next.
BOOLEAN PassThroughFrameAcceptable(FRAME_GENERATION Generation, const UCHAR* Frame, ULONG FrameLength) {
  if (FrameLength < FrameOverhead) return FALSE;
  ULONG limit = 0;
  if (Generation == FrameGenerationNew) {
    if (Frame[0] == NewCommandAddress) limit = PassThroughFrameMax;
  } else if (Frame[0] == OldCommandType) {
    limit = PassThroughFrameMax;
  } else if (Frame[0] == OldT0CardType || Frame[0] == OldT1CardType) {
    limit = PassThroughCardFrameMax;
  }
  if (FrameLength > limit) return FALSE;
  return AnnouncedReplyLength(Generation, Frame) + FrameOverhead == FrameLength ? TRUE : FALSE;
}

}  // namespace

NTSTATUS PassThroughFrame(PDEVICE_OBJECT DeviceObject, const UCHAR* Frame, ULONG FrameLength, PUCHAR Reply,
                          ULONG ReplyCapacity, ULONG_PTR* Information) {
  if (Frame == nullptr || Reply == nullptr || Information == nullptr || FrameLength == 0 || ReplyCapacity == 0) {
    return STATUS_INVALID_PARAMETER;
  }
  *Information = 0;
  DeviceContext* context = GetDeviceContext(DeviceObject);
  AcquireReaderLock(context);
  context->ExchangeTimeout = ReaderCommandTimeout;
  const FRAME_GENERATION generation = FrameGenerationFor(context->FirmwareVersion);
  if (!PassThroughFrameAcceptable(generation, Frame, FrameLength)) {
    ReleaseReaderLock(context);
    return STATUS_INVALID_PARAMETER;
  }

  const BOOLEAN restart = generation == FrameGenerationNew && FrameLength >= RestartFrameMin &&
                                  Frame[3] == RestartClass && Frame[4] == RestartCommand
                              ? TRUE
                              : FALSE;
  const BOOLEAN cardFrame = generation == FrameGenerationOld && Frame[0] != OldCommandType ? TRUE : FALSE;
  RtlCopyMemory(context->ExchangeBuffer, Frame, FrameLength);
  context->ExchangeLength = FrameLength;
  // The control byte stays the application's; the check byte is the driver's.
  if (generation == FrameGenerationNew) {
    context->ExchangeBuffer[FrameLength - 1] = FrameCheckByte(context->ExchangeBuffer, FrameLength - 1);
  }

  NTSTATUS status = CommandExchange(DeviceObject, ReaderCommandBounded);
  if (NT_SUCCESS(status) && cardFrame) status = AwaitTransferResult(DeviceObject, STATUS_IO_DEVICE_ERROR);
  if (NT_SUCCESS(status)) {
    if (context->ExchangeLength > ReplyCapacity) {
      status = STATUS_BUFFER_TOO_SMALL;
    } else {
      RtlCopyMemory(Reply, context->ExchangeBuffer, context->ExchangeLength);
      *Information = context->ExchangeLength;
      if (restart) RunSetUpSequence(DeviceObject);
    }
  }
  ReleaseReaderLock(context);
  return status;
}
