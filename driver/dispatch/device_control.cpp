#include "driver/dispatch/device_control.h"

#include "driver/device/io_count.h"
#include "driver/public/vendor_ioctl.h"
#include "driver/reader/delay.h"
#include "driver/reader/reader_lock.h"
#include "driver/reader/transport.h"

BOOLEAN IsServedControlCode(ULONG IoControlCode) {
  switch (IoControlCode) {
    case IOCTL_SMARTCARD_POWER:
    case IOCTL_SMARTCARD_GET_ATTRIBUTE:
    case IOCTL_SMARTCARD_SET_ATTRIBUTE:
    case IOCTL_SMARTCARD_CONFISCATE:
    case IOCTL_SMARTCARD_TRANSMIT:
    case IOCTL_SMARTCARD_EJECT:
    case IOCTL_SMARTCARD_SWALLOW:
    case IOCTL_SMARTCARD_IS_PRESENT:
    case IOCTL_SMARTCARD_IS_ABSENT:
    case IOCTL_SMARTCARD_SET_PROTOCOL:
    case IOCTL_SMARTCARD_GET_STATE:
    case IOCTL_SMARTCARD_GET_LAST_ERROR:
    case IOCTL_SMARTCARD_GET_PERF_CNTR:
      return TRUE;
    default:
      return IsVendorControlCode(IoControlCode) ? TRUE : FALSE;
  }
}

NTSTATUS WaitForPresencePoll(PDEVICE_OBJECT DeviceObject) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  NTSTATUS result = STATUS_DEVICE_BUSY;
  for (ULONG check = 0; check < PresencePollChecks; ++check) {
    AcquireReaderLock(context);
    if (ReadUCharAcquire(&context->PollRequested) == 0) result = STATUS_SUCCESS;
    ReleaseReaderLock(context);
    if (result == STATUS_SUCCESS) break;
    DelayMilliseconds(PresencePollCheckMilliseconds);
  }
  return result;
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  const ULONG code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
  if (!IsServedControlCode(code)) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }

  DeviceContext* context = GetDeviceContext(DeviceObject);
  IoIncrement(DeviceObject);
  NTSTATUS status = WaitForPresencePoll(DeviceObject);
  if (status != STATUS_DEVICE_BUSY) {
    if (!IsDeviceUsable(DeviceObject)) {
      status = STATUS_DELETE_PENDING;
    } else if (SmartcardAcquireRemoveLock(&context->SmartcardExtension) != STATUS_SUCCESS) {
      status = STATUS_DEVICE_REMOVED;
    } else {
      // The library completes the request, or keeps a tracking request
      // waiting; either way it is no longer ours to touch.
      status = SmartcardDeviceControl(&context->SmartcardExtension, Irp);
      SmartcardReleaseRemoveLock(&context->SmartcardExtension);
      IoDecrement(DeviceObject);
      return status;
    }
  }
  Irp->IoStatus.Information = 0;
  Irp->IoStatus.Status = status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  IoDecrement(DeviceObject);
  return status;
}
