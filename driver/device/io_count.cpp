// IoIncrement and IoDecrement.
#include "driver/device/io_count.h"

#include "driver/device/device_context.h"

void IoIncrement(PDEVICE_OBJECT DeviceObject) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  KIRQL oldIrql;
  KeAcquireSpinLock(&context->IoCountLock, &oldIrql);
  InterlockedIncrement(&context->IoCount);
  KeReleaseSpinLock(&context->IoCountLock, oldIrql);
}

LONG IoDecrement(PDEVICE_OBJECT DeviceObject) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  KIRQL oldIrql;
  // The lock makes the test of the new count and the event one step with
  // the change, so no waiter misses the moment it falls.
  KeAcquireSpinLock(&context->IoCountLock, &oldIrql);
  const LONG count = InterlockedDecrement(&context->IoCount);
  if (count == 1) KeSetEvent(&context->IoIdleEvent, 1, FALSE);
  if (count == 0) KeSetEvent(&context->IoDrainedEvent, 1, FALSE);
  KeReleaseSpinLock(&context->IoCountLock, oldIrql);
  return count;
}
