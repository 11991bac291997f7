// IsDeviceUsable and BulkTransfer.
#include "driver/reader/submit_urb.h"
#include "driver/reader/firmware_generation.h"
#include "driver/reader/reader_frame.h"
#include "driver/reader/transport.h"

namespace {

constexpr ULONG BulkPipesNeeded = 2;
constexpr UCHAR LeftReplyMark = 0x80;

}  // namespace

void NoteReplyMayBeLeft(DeviceContext* Context) {
  if (FrameGenerationFor(Context->FirmwareVersion) != FrameGenerationNew) return;
  // The start of ExchangeBuffer still holds the request's address and
  // control byte, or the same ones at the start of its reply. A reader
  // command's reply repeats its control byte, so the status command that
  // reads past it must take the other one. No other reply can pass for that
  // status command's, which then takes the next control byte in turn.
  const UCHAR taken = Context->ExchangeBuffer[0] == NewCommandAddress
                          ? Context->ExchangeBuffer[1]
                          : static_cast<UCHAR>(Context->SequenceByte ^ SequenceByteToggle);
  Context->ReplyMayBeLeft = LeftReplyMark | (taken & SequenceByteToggle);
}

BOOLEAN IsDeviceUsable(PDEVICE_OBJECT DeviceObject) {
  const DeviceContext* context = GetDeviceContext(DeviceObject);
  return context->DeviceStarted != 0 && context->DeviceRemoved == 0 && context->RemovePending == 0 &&
                 context->StopPending == 0
             ? TRUE
             : FALSE;
}

PUSBD_PIPE_INFORMATION SelectBulkPipe(PUSBD_INTERFACE_INFORMATION Interface, BOOLEAN Read) {
  if (Interface == nullptr || Interface->NumberOfPipes < BulkPipesNeeded ||
      Interface->Length < GET_USBD_INTERFACE_SIZE(BulkPipesNeeded)) {
    return nullptr;
  }
  PUSBD_PIPE_INFORMATION first = &Interface->Pipes[0];
  PUSBD_PIPE_INFORMATION second = &Interface->Pipes[1];
  if (first->PipeType != UsbdPipeTypeBulk || second->PipeType != UsbdPipeTypeBulk) return nullptr;
  if (((first->EndpointAddress ^ second->EndpointAddress) & USB_ENDPOINT_DIRECTION_MASK) == 0) return nullptr;
  const BOOLEAN firstIsIn = (first->EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0 ? TRUE : FALSE;
  return firstIsIn == Read ? first : second;
}

NTSTATUS BulkTransfer(PDEVICE_OBJECT DeviceObject, UCHAR Direction, UCHAR Bounded) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  if (!IsDeviceUsable(DeviceObject)) return STATUS_DELETE_PENDING;

  const BOOLEAN read = Direction == TransferRead ? TRUE : FALSE;
  const BOOLEAN newGeneration = FrameGenerationFor(context->FirmwareVersion) == FrameGenerationNew ? TRUE : FALSE;
  if (!read && newGeneration && context->ReplyMayBeLeft != 0 && context->ExchangeLength != 0) {
    const NTSTATUS readPast = ReadPastLeftReply(DeviceObject, Bounded);
    if (readPast != STATUS_SUCCESS) return readPast;
  }
  const ULONG offset = read ? context->ReceiveOffset : 0;
  if (context->ExchangeLength > ExchangeBufferSize || offset > ExchangeBufferSize - context->ExchangeLength) {
    return STATUS_INVALID_PARAMETER;
  }
  PUSBD_PIPE_INFORMATION pipe = SelectBulkPipe(context->InterfaceInformation, read);
  if (pipe == nullptr) return STATUS_INVALID_DEVICE_STATE;

  auto urb = static_cast<PURB>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), DriverPoolTag));
  if (urb == nullptr) {
    SmartcardLogError(DeviceObject, EventCodeNoMemory, nullptr, 0);
    if (read) NoteReplyMayBeLeft(context);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));
  _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = urb->UrbBulkOrInterruptTransfer;
  transfer.Hdr.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
  transfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  transfer.PipeHandle = pipe->PipeHandle;
  transfer.TransferFlags = read ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : USBD_SHORT_TRANSFER_OK;
  transfer.TransferBufferLength = context->ExchangeLength;
  transfer.TransferBuffer = context->ExchangeBuffer + offset;

  const NTSTATUS status = SubmitUrbSync(DeviceObject, urb, Bounded);
  if (NT_SUCCESS(status)) context->ExchangeLength = transfer.TransferBufferLength;
  ExFreePool(urb);
  if (read && !NT_SUCCESS(status)) NoteReplyMayBeLeft(context);
  return status;
}
