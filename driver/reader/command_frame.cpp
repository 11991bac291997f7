// Building and running a reader command.
#include "driver/reader/command_frame.h"

#include "driver/reader/reader_commands.h"
#include "driver/reader/reader_frame.h"
#include "driver/reader/reader_lock.h"
#include "driver/reader/transport.h"

void PrepareReaderCommand(DeviceContext* Context, UCHAR Command, const UCHAR* Parameters, ULONG ParameterCount,
                          BOOLEAN ToggleSequence) {
  Context->ExchangeTimeout = ReaderCommandTimeout;
  const FRAME_GENERATION generation = FrameGenerationFor(Context->FirmwareVersion);
  // A reply may be left in the reader: before this frame goes out, a status
  // command with the other control byte reads past it (ReadPastLeftReply).
  // This frame takes the left reply's control byte, so that the bytes on
  // the wire keep alternating around that status command.
  if (generation == FrameGenerationNew && Context->ReplyMayBeLeft != 0) {
    Context->SequenceByte = Context->ReplyMayBeLeft & SequenceByteToggle;
  }
  Context->ExchangeLength = BuildReaderCommandFrame(generation, Context->SequenceByte, Command, Parameters,
                                                    ParameterCount, Context->ExchangeBuffer);
  if (generation == FrameGenerationNew && ToggleSequence) Context->SequenceByte ^= SequenceByteToggle;
}

NTSTATUS ExchangeReaderCommand(PDEVICE_OBJECT DeviceObject) {
  return CommandExchange(DeviceObject, ReaderCommandBounded);
}

NTSTATUS RunReaderCommand(PDEVICE_OBJECT DeviceObject, UCHAR Command, const UCHAR* Parameters, ULONG ParameterCount) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  AcquireReaderLock(context);
  PrepareReaderCommand(context, Command, Parameters, ParameterCount, TRUE);
  const NTSTATUS status = ExchangeReaderCommand(DeviceObject);
  ReleaseReaderLock(context);
  return status;
}
