// Waiting for the answer to an old-generation card frame, which the reader
// runs on its own while the driver polls its state.
#include "driver/reader/reader_commands.h"
#include "driver/reader/reader_lock.h"
#include "driver/reader/reply.h"

namespace {

constexpr ULONG TransferStateIndex = 2;

}  // namespace

NTSTATUS AwaitTransferResult(PDEVICE_OBJECT DeviceObject, NTSTATUS CardFailedStatus) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  AcquireReaderLock(context);
  LARGE_INTEGER start;
  KeQuerySystemTime(&start);
  NTSTATUS status = STATUS_SUCCESS;
  UCHAR state = 0;
  for (;;) {
    status = GetTransferStatus(DeviceObject);
    // A status reply that did not complete in time carries no state to read.
    if (!NT_SUCCESS(status) || status == STATUS_TIMEOUT) break;
    status = ReadReplyByte(context, TransferStateIndex, &state);
    if (!NT_SUCCESS(status) || state >= TransferAnswered) break;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    if (now.QuadPart - start.QuadPart > TransferResultTimeLimit) {
      status = STATUS_IO_TIMEOUT;
      break;
    }
  }
  if (status == STATUS_SUCCESS) {
    status = state == TransferAnswered ? GetTransferResult(DeviceObject) : CardFailedStatus;
  }
  ReleaseReaderLock(context);
  return status;
}
