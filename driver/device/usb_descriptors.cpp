// ReadDeviceDescriptor and ReadConfigurationDescriptor.
#include "driver/device/device_context.h"
#include "driver/reader/submit_urb.h"
#include "driver/device/usb_configuration.h"

namespace {

PURB AllocateDescriptorRequest() {
  return static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), DriverPoolTag));
}

// As the platform's UsbBuildGetDescriptorRequest builds it: index 0, language 0.
void BuildDescriptorRequest(PURB Urb, UCHAR DescriptorType, PVOID Buffer, ULONG Length) {
  RtlZeroMemory(Urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
  _URB_CONTROL_DESCRIPTOR_REQUEST& request = Urb->UrbControlDescriptorRequest;
  request.Hdr.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
  request.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  request.TransferBuffer = Buffer;
  request.TransferBufferLength = Length;
  request.TransferBufferMDL = nullptr;
  request.UrbLink = nullptr;
  request.DescriptorType = DescriptorType;
  request.Index = 0;
  request.LanguageId = 0;
}

// One read of the configuration descriptor into a new buffer of Size bytes.
// On success *Buffer holds what came and *Received its length; on failure
// nothing stays allocated.
NTSTATUS ReadConfigurationOnce(PDEVICE_OBJECT DeviceObject, PURB Urb, ULONG Size, PUCHAR* Buffer, ULONG* Received) {
  *Buffer = nullptr;
  auto buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, Size, DriverPoolTag));
  if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(buffer, Size);
  BuildDescriptorRequest(Urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, buffer, Size);
  const NTSTATUS status = SubmitUrbSync(DeviceObject, Urb, UrbUnbounded);
  const ULONG received = Urb->UrbControlDescriptorRequest.TransferBufferLength;
  // A failed read, or one that brought nothing, gives the selection nothing to
  // go on; neither does a length beyond the buffer the bus was given.
  NTSTATUS result = status;
  if (NT_SUCCESS(status) && (received == 0 || received > Size)) result = STATUS_DEVICE_DATA_ERROR;
  if (!NT_SUCCESS(result)) {
    ExFreePool(buffer);
    return result;
  }
  *Buffer = buffer;
  *Received = received;
  return STATUS_SUCCESS;
}

// The configuration descriptor's header as it came from the device: its own
// length and type, and a total length that covers at least the header.
BOOLEAN ConfigurationHeaderSound(const UCHAR* Buffer, ULONG Received, ULONG* TotalLength) {
  if (Received < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return FALSE;
  auto header = reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(Buffer);
  *TotalLength = header->wTotalLength;
  return header->bLength >= sizeof(USB_CONFIGURATION_DESCRIPTOR) &&
                 header->bDescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE &&
                 *TotalLength >= sizeof(USB_CONFIGURATION_DESCRIPTOR)
             ? TRUE
             : FALSE;
}

}  // namespace

NTSTATUS ReadDeviceDescriptor(PDEVICE_OBJECT DeviceObject) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  PURB urb = AllocateDescriptorRequest();
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  auto descriptor = static_cast<PUSB_DEVICE_DESCRIPTOR>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(USB_DEVICE_DESCRIPTOR), DriverPoolTag));
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  if (descriptor != nullptr) {
    RtlZeroMemory(descriptor, sizeof(USB_DEVICE_DESCRIPTOR));
    BuildDescriptorRequest(urb, USB_DEVICE_DESCRIPTOR_TYPE, descriptor, sizeof(USB_DEVICE_DESCRIPTOR));
    status = SubmitUrbSync(DeviceObject, urb, UrbUnbounded);
    // The vendor control code hands all 18 bytes to applications.
    if (NT_SUCCESS(status) && urb->UrbControlDescriptorRequest.TransferBufferLength != sizeof(USB_DEVICE_DESCRIPTOR)) {
      status = STATUS_DEVICE_DATA_ERROR;
    }
    if (NT_SUCCESS(status)) {
      context->DeviceDescriptor = descriptor;
    } else {
      ExFreePool(descriptor);
    }
  }
  ExFreePool(urb);
  return status;
}

NTSTATUS ReadConfigurationDescriptor(PDEVICE_OBJECT DeviceObject) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  if (context->ConfigurationDescriptor != nullptr) return STATUS_SUCCESS;
  PURB urb = AllocateDescriptorRequest();
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;

  // A descriptor that fits the first buffer is read once; a longer one a
  // second time at exactly its wTotalLength (USB 2.0 clause 9.4.3: a device
  // sends at most the length asked for).
  ULONG size = ConfigurationDescriptorFirstRead;
  PUCHAR buffer = nullptr;
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG read = 0; read < 2; ++read) {
    ULONG received = 0;
    ULONG total = 0;
    status = ReadConfigurationOnce(DeviceObject, urb, size, &buffer, &received);
    if (!NT_SUCCESS(status)) break;
    if (!ConfigurationHeaderSound(buffer, received, &total)) {
      status = STATUS_DEVICE_DATA_ERROR;
    } else if (total <= size) {
      // The interface and endpoint descriptors are walked up to wTotalLength,
      // so every byte of it must have come.
      if (received < total) status = STATUS_DEVICE_DATA_ERROR;
      break;
    } else if (read == 0) {
      ExFreePool(buffer);
      buffer = nullptr;
      size = total;
      continue;
    } else {
      // The second read said the descriptor is longer than the first did.
      status = STATUS_DEVICE_DATA_ERROR;
    }
    break;
  }
  ExFreePool(urb);
  if (!NT_SUCCESS(status)) {
    if (buffer != nullptr) ExFreePool(buffer);
    return status;
  }
  context->ConfigurationDescriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer);
  return SelectConfiguration(DeviceObject, context->ConfigurationDescriptor);
}
