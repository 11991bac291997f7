// VendorIoctl: the driver's own control codes.
#include "driver/reader/vendor_ioctl.h"

#include "driver/models/model.h"
#include "driver/reader/reader_commands.h"
#include "driver/reader/reader_lock.h"
#include "driver/reader/reply.h"

namespace {

struct VENDOR_REQUEST {
  ULONG InputLength;
  ULONG OutputLength;
  PUCHAR Buffer;
  ULONG_PTR* Information;
};

NTSTATUS CopyDescriptor(const VENDOR_REQUEST& request, const void* descriptor, ULONG length) {
  if (request.Buffer == nullptr || request.OutputLength == 0) return STATUS_INVALID_PARAMETER;
  if (descriptor == nullptr) return STATUS_DEVICE_DATA_ERROR;
  if (request.OutputLength < length) return STATUS_BUFFER_TOO_SMALL;
  RtlCopyMemory(request.Buffer, descriptor, length);
  *request.Information = length;
  return STATUS_SUCCESS;
}

NTSTATUS GetVersionBlock(PDEVICE_OBJECT device, DeviceContext* context, const VENDOR_REQUEST& request) {
  if (request.Buffer == nullptr || request.OutputLength < VendorVersionBlockLength) return STATUS_INVALID_PARAMETER;
  const ULONG version = context->SmartcardExtension.Version;
  request.Buffer[0] = static_cast<UCHAR>(version);
  request.Buffer[1] = static_cast<UCHAR>(version >> 8);
  request.Buffer[2] = static_cast<UCHAR>(version >> 16);
  request.Buffer[3] = static_cast<UCHAR>(version >> 24);
  request.Buffer[4] = ModelIdentity.DriverVersionMajor;
  request.Buffer[5] = ModelIdentity.DriverVersionMinor;
  const NTSTATUS status = ReadFirmwareVersion(device);
  if (!NT_SUCCESS(status)) return status;
  const READER_EXTENSION* extension = GetReaderExtension(context);
  request.Buffer[6] = extension->FirmwareMajor;
  request.Buffer[7] = extension->FirmwareMinor;
  *request.Information = VendorVersionBlockLength;
  return status;
}

// Eject and the two parameter commands answer with the reader's status bytes.
NTSTATUS RunStatusByteCommand(PDEVICE_OBJECT device, DeviceContext* context, ULONG code, const VENDOR_REQUEST& request) {
  if (request.Buffer == nullptr || request.OutputLength < VendorStatusBytesLength) return STATUS_INVALID_PARAMETER;
  NTSTATUS status;
  if (code == IOCTL_VENDOR_EJECT) {
    status = EjectCard(device);
  } else {
    // The parameter byte is the application's; without one there is nothing to send.
    if (request.InputLength < 1) return STATUS_INVALID_PARAMETER;
    if (code == IOCTL_VENDOR_COMMAND_B0) {
      context->CommandB0Parameter = request.Buffer[0];
      status = SendCommandB0(device);
    } else {
      context->CommandD8Parameter = request.Buffer[0];
      status = SendCommandD8(device);
    }
  }
  if (!NT_SUCCESS(status)) return status;
  UCHAR statusBytes[VendorStatusBytesLength];
  const NTSTATUS read = ReadReplyStatusBytes(context, statusBytes);
  if (!NT_SUCCESS(read)) return read;
  request.Buffer[0] = statusBytes[0];
  request.Buffer[1] = statusBytes[1];
  *request.Information = VendorStatusBytesLength;
  return status;
}

}  // namespace

NTSTATUS NTAPI VendorIoctl(PSMARTCARD_EXTENSION SmartcardExtension) {
  DeviceContext* context = CONTAINING_RECORD(SmartcardExtension, DeviceContext, SmartcardExtension);
  PDEVICE_OBJECT device = SmartcardExtension->OsData->DeviceObject;
  PIRP irp = SmartcardExtension->OsData->CurrentIrp;
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  const VENDOR_REQUEST request{stack->Parameters.DeviceIoControl.InputBufferLength,
                               stack->Parameters.DeviceIoControl.OutputBufferLength,
                               static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer), &irp->IoStatus.Information};

  irp->IoStatus.Information = 0;
  AcquireReaderLock(context);
  NTSTATUS status;
  switch (code) {
    case IOCTL_VENDOR_GET_DEVICE_DESCRIPTOR:
      status = CopyDescriptor(request, context->DeviceDescriptor, sizeof(USB_DEVICE_DESCRIPTOR));
      break;
    case IOCTL_VENDOR_GET_CONFIG_DESCRIPTOR:
      status = CopyDescriptor(request, context->ConfigurationDescriptor, VendorConfigDescriptorLength);
      break;
    case IOCTL_VENDOR_RESET_PORT:
      status = ResetPortIfDisabled(device);
      break;
    case IOCTL_VENDOR_PASS_THROUGH:
      status = PassThroughFrame(device, request.Buffer, request.InputLength, request.Buffer, request.OutputLength,
                                request.Information);
      break;
    case IOCTL_VENDOR_GET_VERSION:
      status = GetVersionBlock(device, context, request);
      break;
    case IOCTL_VENDOR_EJECT:
    case IOCTL_VENDOR_COMMAND_B0:
    case IOCTL_VENDOR_COMMAND_D8:
      status = RunStatusByteCommand(device, context, code, request);
      break;
    default:
      status = STATUS_INVALID_DEVICE_REQUEST;
      break;
  }
  // Information stays 0 on every failure.
  if (!NT_SUCCESS(status)) irp->IoStatus.Information = 0;
  irp->IoStatus.Status = status;
  ReleaseReaderLock(context);
  return status;
}
