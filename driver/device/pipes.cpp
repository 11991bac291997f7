// DispatchCreate, DispatchClose and PipeNumberFromName.
#include "driver/device/pipes.h"

#include "driver/device/device_context.h"
#include "driver/device/io_count.h"
#include "driver/reader/transport.h"

namespace {

BOOLEAN IsDecimalDigit(WCHAR Character) { return Character >= u'0' && Character <= u'9' ? TRUE : FALSE; }

// The pipe's open mark, when the selected interface has that pipe: the marks
// are exactly as many as its pipes.
PUCHAR PipeOpenFlag(DeviceContext* Context, ULONG Pipe) {
  const PUSBD_INTERFACE_INFORMATION interface = Context->InterfaceInformation;
  if (Context->PipeOpenFlags == nullptr || interface == nullptr || Pipe >= interface->NumberOfPipes) return nullptr;
  return &Context->PipeOpenFlags[Pipe];
}

NTSTATUS CompleteFileRequest(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = 0;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

}  // namespace

ULONG PipeNumberFromName(PDEVICE_OBJECT DeviceObject, PCUNICODE_STRING FileName) {
  if (FileName == nullptr || FileName->Buffer == nullptr) return NoPipe;
  ULONG end = FileName->Length / sizeof(WCHAR);
  while (end > 0 && !IsDecimalDigit(FileName->Buffer[end - 1])) --end;
  if (end == 0) return NoPipe;

  // The run of digits that ends at `end`, read from its units digit up. A
  // digit other than 0 above the units makes the number 10 or more, so the
  // value never needs more than one digit and cannot wrap around.
  ULONG number = FileName->Buffer[end - 1] - u'0';
  for (ULONG position = end - 1; position > 0 && IsDecimalDigit(FileName->Buffer[position - 1]); --position) {
    if (FileName->Buffer[position - 1] != u'0') return NoPipe;
  }
  if (number >= PipeNumberLimit) return NoPipe;
  if (GetDeviceContext(DeviceObject)->PipeOpenFlags == nullptr) return NoPipe;
  return number;
}

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  IoIncrement(DeviceObject);
  NTSTATUS status = STATUS_SUCCESS;
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  if (!IsDeviceUsable(DeviceObject)) {
    status = STATUS_DELETE_PENDING;
  } else if (file == nullptr) {
    status = STATUS_INVALID_PARAMETER;
  } else {
    file->FsContext = nullptr;
    if (file->FileName.Length != 0) {
      const ULONG pipe = PipeNumberFromName(DeviceObject, &file->FileName);
      PUCHAR flag = pipe == NoPipe ? nullptr : PipeOpenFlag(context, pipe);
      if (pipe == NoPipe) {
        status = STATUS_INVALID_PARAMETER;
      } else if (flag == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
      } else {
        file->FsContext = &context->InterfaceInformation->Pipes[pipe];
        *flag = 1;
      }
    }
    if (NT_SUCCESS(status)) {
      status = SmartcardAcquireRemoveLock(&context->SmartcardExtension) == STATUS_SUCCESS ? STATUS_SUCCESS
                                                                                          : STATUS_DEVICE_REMOVED;
    }
  }
  CompleteFileRequest(Irp, status);
  IoDecrement(DeviceObject);
  return status;
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  IoIncrement(DeviceObject);
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  if (file != nullptr && file->FsContext != nullptr) {
    const ULONG pipe = PipeNumberFromName(DeviceObject, &file->FileName);
    PUCHAR flag = pipe == NoPipe ? nullptr : PipeOpenFlag(context, pipe);
    if (flag != nullptr && *flag != 0) *flag = 0;
  }
  CompleteFileRequest(Irp, STATUS_SUCCESS);
  IoDecrement(DeviceObject);
  // The last touch of the device: a removal waiting for this handle goes on
  // and deletes it once the lock is given back.
  SmartcardReleaseRemoveLock(&context->SmartcardExtension);
  return STATUS_SUCCESS;
}
