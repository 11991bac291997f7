// SubmitUrbSync: one URB down the stack, waited for, optionally bounded.
#include "driver/reader/submit_urb.h"

#include "driver/device/device_context.h"

namespace {

// 7 seconds, relative, in 100-ns units.
constexpr LONGLONG UrbTimeLimit = -70'000'000;

}  // namespace

NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb, UCHAR WithTimeout) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK ioStatus{};
  ioStatus.Status = STATUS_SUCCESS;

  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, context->AttachedDeviceObject, nullptr, 0,
                                           nullptr, 0, TRUE, &event, &ioStatus);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;

  NTSTATUS status = IofCallDriver(context->AttachedDeviceObject, irp);
  if (status != STATUS_PENDING) return status;

  LARGE_INTEGER timeout;
  timeout.QuadPart = UrbTimeLimit;
  status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, WithTimeout == UrbBounded ? &timeout : nullptr);
  if (status == STATUS_TIMEOUT) {
    // At APC_LEVEL the I/O manager cannot finish and free the request under
    // us, so a request whose event is still clear is safe to cancel.
    KIRQL oldIrql;
    KeRaiseIrql(APC_LEVEL, &oldIrql);
    if (KeReadStateEvent(&event) == 0) IoCancelIrp(irp);
    KeLowerIrql(oldIrql);
    // The bus driver completes the cancelled request; the URB is ours only after that.
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return STATUS_TIMEOUT;
  }
  return ioStatus.Status;
}
