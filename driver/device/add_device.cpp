// AddDevice, the capability query, and the completion routine that hands a
// request back to the thread waiting for it.
#include "driver/device/add_device.h"

#include "driver/device/device_context.h"
#include "driver/device/io_count.h"
#include "driver/device/teardown.h"
#include "driver/tracking/presence_poll.h"

NTSTATUS NTAPI ForwardAndWaitComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent(static_cast<PKEVENT>(Context), 1, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS QueryDeviceCapabilities(PDEVICE_OBJECT PhysicalDeviceObject, PDEVICE_CAPABILITIES Capabilities) {
  PIRP irp = IoAllocateIrp(PhysicalDeviceObject->StackSize, FALSE);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  // A Plug and Play request starts out unanswered.
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
  next->Parameters.DeviceCapabilities.Capabilities = Capabilities;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, ForwardAndWaitComplete, &event, TRUE, TRUE, TRUE);

  NTSTATUS status = IofCallDriver(PhysicalDeviceObject, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
  }
  IoFreeIrp(irp);
  return status;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = CreateReaderDevice(DriverObject, PhysicalDeviceObject, &device);
  if (NT_SUCCESS(status)) {
    DeviceContext* context = GetDeviceContext(device);
    device->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    context->PhysicalDeviceObject = PhysicalDeviceObject;
    context->AttachedDeviceObject = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
    if (context->AttachedDeviceObject == nullptr) {
      // The poll armed at creation must be over before the device goes.
      StopPresencePoll(context);
      DeleteReaderDevice(device);
      status = STATUS_UNSUCCESSFUL;
    } else {
      // The answer matters only to power management, which copes with an
      // empty record; a failed query does not fail the device.
      QueryDeviceCapabilities(PhysicalDeviceObject, &context->DeviceCapabilities);
      IoIncrement(device);
    }
  }
  USBD_VERSION_INFORMATION version;
  USBD_GetUSBDIVersion(&version);
  if (!NT_SUCCESS(status)) return status;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return status;
}
