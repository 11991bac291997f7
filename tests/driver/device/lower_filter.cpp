// The lower filter: passes every request down, edits URBs on their way back.
#include "tests/driver/device/lower_filter.h"

#include "platform/kernel/platform.h"

namespace readertest {

struct LowerFilter::Extension {
  LowerFilter* filter;
  PDEVICE_OBJECT lower;
};

namespace {

LowerFilter::Extension& ExtensionOf(PDEVICE_OBJECT device) {
  return *static_cast<LowerFilter::Extension*>(device->DeviceExtension);
}

NTSTATUS EditOnTheWayBack(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  auto urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
  if (urb != nullptr) static_cast<const LowerFilter*>(context)->ApplyEdit(*urb);
  return STATUS_SUCCESS;
}

NTSTATUS FilterDispatch(PDEVICE_OBJECT device, PIRP irp) {
  LowerFilter::Extension& extension = ExtensionOf(device);
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  if (location->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
      location->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, EditOnTheWayBack, extension.filter, TRUE, TRUE, TRUE);
    return IofCallDriver(extension.lower, irp);
  }
  if (location->MajorFunction == IRP_MJ_PNP && location->MinorFunction == IRP_MN_START_DEVICE &&
      extension.filter->StartFailure() != STATUS_SUCCESS) {
    const NTSTATUS status = extension.filter->StartFailure();
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  if (location->MajorFunction == IRP_MJ_PNP && location->MinorFunction == IRP_MN_START_DEVICE &&
      extension.filter->PendsStart()) {
    IoMarkIrpPending(irp);
    extension.filter->PassDownLater(irp, extension.lower);
    return STATUS_PENDING;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IofCallDriver(extension.lower, irp);
}

NTSTATUS FilterDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (PDRIVER_DISPATCH& slot : driver->MajorFunction) slot = FilterDispatch;
  return STATUS_SUCCESS;
}

}  // namespace

LowerFilter::LowerFilter(PDEVICE_OBJECT physicalDeviceObject) {
  driver_ = kernel::LoadDriver(u"\\Driver\\LowerFilter", FilterDriverEntry);
  IoCreateDevice(driver_, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_);
  Extension& extension = ExtensionOf(device_);
  extension.filter = this;
  extension.lower = IoAttachDeviceToDeviceStack(device_, physicalDeviceObject);
  device_->Flags &= ~DO_DEVICE_INITIALIZING;
}

void LowerFilter::PassDownLater(PIRP irp, PDEVICE_OBJECT lower) {
  later_ = std::make_unique<kernel::SystemThread>("bus start", [irp, lower] {
    kernel::SleepFor(100 * kernel::kMillisecond);
    IoSkipCurrentIrpStackLocation(irp);
    IofCallDriver(lower, irp);
  });
}

LowerFilter::~LowerFilter() {
  if (later_) later_->Join();
  IoDetachDevice(ExtensionOf(device_).lower);
  IoDeleteDevice(device_);
  kernel::UnloadDriver(driver_);
}

}  // namespace readertest
