#include "tests/support/library_dispatch.h"

#include "device/device_context.h"

namespace readertest {

NTSTATUS DispatchThroughLibrary(PDEVICE_OBJECT device, PIRP irp) {
  SMARTCARD_EXTENSION& extension = GetDeviceContext(device)->SmartcardExtension;
  NTSTATUS status = SmartcardAcquireRemoveLock(&extension);
  if (!NT_SUCCESS(status)) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  status = SmartcardDeviceControl(&extension, irp);
  SmartcardReleaseRemoveLock(&extension);
  return status;
}

}  // namespace readertest
