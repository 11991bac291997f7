// The stop sequence.
#include "driver/device/pnp_steps.h"
#include "driver/device/usb_configuration.h"
#include "driver/reader/reader_lock.h"
#include "driver/tracking/presence_poll.h"

NTSTATUS HandleStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  StopPresencePoll(context);
  // Under ReaderLock a command exchange in progress finishes before the
  // device is unconfigured under it.
  AcquireReaderLock(context);
  const NTSTATUS status = DeconfigureDevice(DeviceObject);
  if (NT_SUCCESS(status)) context->DeviceStarted = 0;
  context->StopPending = 0;
  ReleaseReaderLock(context);
  // The descriptors, the interface copy and the pipe marks stay for the next
  // start; so does the enabled reader interface.
  if (!NT_SUCCESS(status)) return CompletePnp(Irp, status);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  return PassPnpDown(context, Irp);
}
