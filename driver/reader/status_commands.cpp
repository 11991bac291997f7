// The status command and the set-up sequence it runs for a reader that has
// not been set up since it was powered or restarted.
#include "driver/reader/command_frame.h"
#include "driver/reader/delay.h"
#include "driver/reader/reader_commands.h"
#include "driver/reader/reader_frame.h"
#include "driver/reader/reader_lock.h"
#include "driver/reader/reply.h"

namespace {

constexpr ULONG StatusByteIndex = 2;
constexpr ULONG PauseBeforeSetUpStartMilliseconds = 10;
constexpr ULONG PauseAfterSetUpStartMilliseconds = 15;

}  // namespace

NTSTATUS GetReaderStatus(PDEVICE_OBJECT DeviceObject) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  AcquireReaderLock(context);
  // The status frame moves the sequence byte on only once the reader has
  // answered it.
  PrepareReaderCommand(context, CommandGetReaderStatus, nullptr, 0, FALSE);
  NTSTATUS status = ExchangeReaderCommand(DeviceObject);
  UCHAR readerStatus = 0;
  if (status == STATUS_SUCCESS) {
    if (FrameGenerationFor(context->FirmwareVersion) == FrameGenerationNew) {
      context->SequenceByte ^= SequenceByteToggle;
    }
    status = ReadReplyByte(context, StatusByteIndex, &readerStatus);
  }
  if (status != STATUS_SUCCESS) {
    // Without a status byte the reader counts as set up with no card.
    context->ReaderStatus = ReaderStatusSetUp;
    ReleaseReaderLock(context);
    return status;
  }
  context->ReaderStatus = readerStatus;
  if ((context->ReaderStatus & ReaderStatusSetUp) == 0) {
    RunSetUpSequence(DeviceObject);
    context->ReaderStatus |= ReaderStatusSetUp;
  }
  ReleaseReaderLock(context);
  return status;
}

NTSTATUS SendCommandD0(PDEVICE_OBJECT DeviceObject) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  AcquireReaderLock(context);
  PrepareReaderCommand(context, CommandD0, nullptr, 0, TRUE);
  DelayMilliseconds(PauseBeforeSetUpStartMilliseconds);
  const NTSTATUS status = ExchangeReaderCommand(DeviceObject);
  DelayMilliseconds(PauseAfterSetUpStartMilliseconds);
  ReleaseReaderLock(context);
  return status;
}

NTSTATUS SendCommand41(PDEVICE_OBJECT DeviceObject) { return RunReaderCommand(DeviceObject, Command41, nullptr, 0); }

void RunSetUpSequence(PDEVICE_OBJECT DeviceObject) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  AcquireReaderLock(context);
  SendCommandD0(DeviceObject);
  SendCommand41(DeviceObject);
  ReleaseReaderLock(context);
}
