// ResetPortIfDisabled: the port status, and a port reset when needed.
#include "driver/reader/vendor_ioctl.h"

namespace {

NTSTATUS SendPortRequest(PDEVICE_OBJECT DeviceObject, ULONG IoControlCode, PVOID Argument) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK ioStatus{};
  PIRP irp = IoBuildDeviceIoControlRequest(IoControlCode, context->AttachedDeviceObject, nullptr, 0, nullptr, 0, TRUE,
                                           &event, &ioStatus);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Argument;
  NTSTATUS status = IofCallDriver(context->AttachedDeviceObject, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = ioStatus.Status;
  }
  return status;
}

}  // namespace

NTSTATUS ResetPortIfDisabled(PDEVICE_OBJECT DeviceObject) {
  ULONG portStatus = 0;
  const NTSTATUS status = SendPortRequest(DeviceObject, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus);
  if (!NT_SUCCESS(status) || (portStatus & USBD_PORT_ENABLED) != 0 || (portStatus & USBD_PORT_CONNECTED) == 0) {
    return status;
  }
  return SendPortRequest(DeviceObject, IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
}
