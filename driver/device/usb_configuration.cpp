// SelectConfiguration, DeconfigureDevice and AbortOpenPipes.
#include "driver/device/usb_configuration.h"

#include "driver/device/device_context.h"
#include "driver/reader/submit_urb.h"

namespace {

// One byte per pipe; a zero-size block would be no block at all.
PUCHAR AllocatePipeOpenFlags(ULONG Pipes) {
  const SIZE_T size = Pipes != 0 ? Pipes : 1;
  auto flags = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, size, DriverPoolTag));
  if (flags != nullptr) RtlZeroMemory(flags, size);
  return flags;
}

// The interface record the bus driver filled in must still describe the
// pipes it was given: the copy and the pipe marks are sized by them.
BOOLEAN InterfaceRecordSound(const USBD_INTERFACE_INFORMATION& Interface, ULONG Pipes) {
  return Interface.NumberOfPipes == Pipes && Interface.Length == GET_USBD_INTERFACE_SIZE(Pipes) ? TRUE : FALSE;
}

}  // namespace

NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  USHORT size = 0;
  PURB urb = USBD_CreateConfigurationRequest(ConfigurationDescriptor, &size);
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  if (USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, -1, -1, -1, -1, -1) ==
      nullptr) {
    ExFreePool(urb);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  USBD_INTERFACE_INFORMATION& interface = urb->UrbSelectConfiguration.Interface;
  const ULONG pipes = interface.NumberOfPipes;
  PUCHAR flags = AllocatePipeOpenFlags(pipes);
  if (flags == nullptr) {
    ExFreePool(urb);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  // Selecting again (a start after a stop) makes new pipe handles; a pipe
  // that a handle still names keeps its mark, so removal aborts it.
  if (context->PipeOpenFlags != nullptr) {
    if (context->InterfaceInformation != nullptr && context->InterfaceInformation->NumberOfPipes == pipes) {
      RtlCopyMemory(flags, context->PipeOpenFlags, pipes);
    }
    ExFreePool(context->PipeOpenFlags);
  }
  context->PipeOpenFlags = flags;
  // A selection again keeps the interface copy's block: a pipe handle kept
  // open across the stop holds, in its FsContext, the address of its pipe's
  // entry. The old pipe handles died with the unconfiguration; until the new
  // selection succeeds the copy describes no pipe.
  PUSBD_INTERFACE_INFORMATION kept = context->InterfaceInformation;
  if (kept != nullptr) kept->NumberOfPipes = 0;

  for (ULONG i = 0; i < pipes; ++i) interface.Pipes[i].MaximumTransferSize = context->MaxTransferSize;
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbHeader.Length = size;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

  NTSTATUS status = SubmitUrbSync(DeviceObject, urb, UrbUnbounded);
  if (NT_SUCCESS(status) && !InterfaceRecordSound(interface, pipes)) status = STATUS_DEVICE_DATA_ERROR;
  // The same configuration selected again describes the same pipes.
  if (NT_SUCCESS(status) && kept != nullptr && kept->Length != interface.Length) status = STATUS_DEVICE_DATA_ERROR;
  if (NT_SUCCESS(status)) {
    auto copy = kept != nullptr ? kept
                                : static_cast<PUSBD_INTERFACE_INFORMATION>(
                                      ExAllocatePoolWithTag(NonPagedPool, interface.Length, DriverPoolTag));
    if (copy == nullptr) {
      // Without the copy there are no pipe handles for the reader's transfers.
      status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      RtlCopyMemory(copy, &interface, interface.Length);
      context->InterfaceInformation = copy;
    }
  }
  ExFreePool(urb);
  return status;
}

NTSTATUS DeconfigureDevice(PDEVICE_OBJECT DeviceObject) {
  auto urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_SELECT_CONFIGURATION), DriverPoolTag));
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(urb, sizeof(_URB_SELECT_CONFIGURATION));
  urb->UrbHeader.Length = sizeof(_URB_SELECT_CONFIGURATION);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  // No configuration descriptor: the device returns to the unconfigured state.
  urb->UrbSelectConfiguration.ConfigurationDescriptor = nullptr;
  const NTSTATUS status = SubmitUrbSync(DeviceObject, urb, UrbUnbounded);
  ExFreePool(urb);
  return status;
}

NTSTATUS AbortOpenPipes(PDEVICE_OBJECT DeviceObject) {
  if (DeviceObject == nullptr || DeviceObject->DeviceExtension == nullptr) return STATUS_SUCCESS;
  DeviceContext* context = GetDeviceContext(DeviceObject);
  const PUSBD_INTERFACE_INFORMATION interface = context->InterfaceInformation;
  if (interface == nullptr || interface->NumberOfPipes == 0 || context->PipeOpenFlags == nullptr) {
    return STATUS_SUCCESS;
  }
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG pipe = 0; pipe < interface->NumberOfPipes; ++pipe) {
    if (context->PipeOpenFlags[pipe] == 0) continue;
    auto urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_PIPE_REQUEST), DriverPoolTag));
    if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(urb, sizeof(_URB_PIPE_REQUEST));
    urb->UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    urb->UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
    urb->UrbPipeRequest.PipeHandle = interface->Pipes[pipe].PipeHandle;
    status = SubmitUrbSync(DeviceObject, urb, UrbUnbounded);
    ExFreePool(urb);
    if (!NT_SUCCESS(status)) return status;
    context->PipeOpenFlags[pipe] = 0;
  }
  return status;
}
