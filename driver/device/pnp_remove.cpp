// The surprise-removal and removal sequences.
#include "driver/device/io_count.h"
#include "driver/device/pnp_steps.h"
#include "driver/device/teardown.h"
#include "driver/device/usb_configuration.h"
#include "driver/reader/reader_lock.h"
#include "driver/tracking/presence_poll.h"

namespace {

// What surprise removal and removal begin with. Afterwards the request's
// remove lock and I/O count are given back, the device is marked removed and
// pipes opened by name are aborted.
void MarkDeviceRemoved(PDEVICE_OBJECT DeviceObject) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  StopPresencePoll(context);
  // A work item that does not finish in time (it waits for ReaderLock behind
  // a long card exchange) is not waited for here: the request must end. It
  // finds the device removed once it has the lock, and removal waits for it
  // again before anything is freed.
  WaitForPollWorkItems(context, PollWorkItemWaitSteps);
  // Under ReaderLock an exchange in progress finishes first, and none begins
  // after: each tests IsDeviceUsable once it holds the lock.
  AcquireReaderLock(context);
  SmartcardReleaseRemoveLock(&context->SmartcardExtension);
  IoDecrement(DeviceObject);
  context->DeviceRemoved = 1;
  ReleaseReaderLock(context);
  AbortOpenPipes(DeviceObject);
}

}  // namespace

NTSTATUS HandleSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  MarkDeviceRemoved(DeviceObject);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  return PassPnpDown(GetDeviceContext(DeviceObject), Irp);
}

NTSTATUS HandleRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  MarkDeviceRemoved(DeviceObject);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  const NTSTATUS status = PassPnpDown(context, Irp);

  // The device's own reference from AddDevice; then every request still
  // inside the driver leaves.
  IoDecrement(DeviceObject);
  KeWaitForSingleObject(&context->IoDrainedEvent, Executive, KernelMode, FALSE, nullptr);
  // The last IoDecrement sets the event while it holds the lock: once the
  // lock is free, no other thread touches the record.
  KIRQL oldIrql;
  KeAcquireSpinLock(&context->IoCountLock, &oldIrql);
  KeReleaseSpinLock(&context->IoCountLock, oldIrql);

  DeleteReaderDevice(DeviceObject);
  return status;
}
