// CreateReaderDevice: the device object, its buffers, and its registration
// with the smart-card library and as a reader interface.
#include "driver/device/add_device.h"
#include "driver/device/device_context.h"
#include "driver/device/reader_identity.h"
#include "driver/device/reader_unit_counter.h"
#include "driver/device/teardown.h"
#include "driver/tracking/presence_poll.h"

namespace {

template <typename T>
NTSTATUS AllocateZeroed(T** Block, SIZE_T Size) {
  *Block = static_cast<T*>(ExAllocatePoolWithTag(NonPagedPool, Size, DriverPoolTag));
  if (*Block == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(*Block, Size);
  return STATUS_SUCCESS;
}

// The fields that hold before anything is allocated, in the order the
// record's owners expect them.
void InitializeContext(DeviceContext* Context, PDEVICE_OBJECT DeviceObject) {
  RtlZeroMemory(Context, sizeof(DeviceContext));
  Context->MaxTransferSize = ExchangeBufferSize;
  KeInitializeTimer(&Context->PollTimer);
  Context->WorkItemsPending = 0;
  KeInitializeDpc(&Context->PollDpc, PresencePollDpc, DeviceObject);
  KeInitializeEvent(&Context->IoDrainedEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&Context->IoIdleEvent, NotificationEvent, FALSE);
  KeInitializeSpinLock(&Context->IoCountLock);
  KeInitializeSpinLock(&Context->ReaderLock.SpinLock);
  Context->ReaderLock.Owner = nullptr;
  Context->ReaderLock.Depth = 0;
  Context->SequenceByte = 0;
  Context->ExchangeLength = 0;
}

// Each buffer the device keeps for its life; the first that cannot be had
// ends the list.
NTSTATUS AllocateDeviceBuffers(DeviceContext* Context) {
  NTSTATUS status = AllocateZeroed(&Context->ExchangeBuffer, ExchangeBufferSize);
  if (NT_SUCCESS(status)) status = AllocateZeroed(&Context->BlockBuffer, BlockBufferSize);
  if (NT_SUCCESS(status)) status = AllocateZeroed(&Context->AtrBuffer, AtrBufferSize);
  if (NT_SUCCESS(status)) status = AllocateZeroed(&Context->PollWorkItem, sizeof(WORK_QUEUE_ITEM));
  if (NT_SUCCESS(status)) {
    status = AllocateZeroed(&Context->SmartcardExtension.ReaderExtension, sizeof(READER_EXTENSION));
  }
  return status;
}

void FillSmartcardExtension(DeviceContext* Context) {
  SMARTCARD_EXTENSION& extension = Context->SmartcardExtension;
  InstallReaderFunctions(&extension);
  FillReaderIdentity(&extension);
  FillReaderCapabilities(&extension);
  extension.Version = SMCLIB_VERSION;
  extension.SmartcardRequest.BufferSize = ExchangeBufferSize;
  extension.SmartcardReply.BufferSize = ExchangeBufferSize;
  extension.ReaderExtension->ReaderPowerState = ReaderPowered;
}

// Gives back what a creation that failed had built, and the device object.
NTSTATUS DiscardReaderDevice(PDEVICE_OBJECT DeviceObject, NTSTATUS Status) {
  FreeDeviceResources(DeviceObject);
  IoDeleteDevice(DeviceObject);
  return Status;
}

}  // namespace

NTSTATUS CreateReaderDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                            PDEVICE_OBJECT* DeviceObject) {
  *DeviceObject = nullptr;
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status =
      IoCreateDevice(DriverObject, sizeof(DeviceContext), nullptr, FILE_DEVICE_SMARTCARD, 0, TRUE, &device);
  if (!NT_SUCCESS(status)) {
    SmartcardLogError(DriverObject, EventCodeNoMemory, nullptr, 0);
    return status;
  }
  DeviceContext* context = GetDeviceContext(device);
  InitializeContext(context, device);

  status = AllocateDeviceBuffers(context);
  if (!NT_SUCCESS(status)) {
    SmartcardLogError(DriverObject, EventCodeNoMemory, nullptr, 0);
    return DiscardReaderDevice(device, status);
  }
  FillSmartcardExtension(context);

  status = SmartcardInitialize(&context->SmartcardExtension);
  if (status != STATUS_SUCCESS) {
    SmartcardLogError(DriverObject, EventCodeNoMemory, nullptr, 0);
    return DiscardReaderDevice(device, status);
  }
  context->SmartcardExtension.OsData->DeviceObject = device;

  status = IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_DEVINTERFACE_SMARTCARD_READER, nullptr,
                                     &context->SymbolicLinkName);
  // A reader that cannot be found by the resource manager is of no use; it
  // goes before it takes a unit number or starts polling.
  if (!NT_SUCCESS(status)) return DiscardReaderDevice(device, status);
  context->SmartcardExtension.VendorAttr.UnitNo = TakeReaderUnitNumber();

  KeInitializeSpinLock(&context->PollLock);
  context->TimerArmed = 0;
  // The first poll reads the card state; device control waits for it.
  AllowPresencePoll(context);

  *DeviceObject = device;
  return status;
}
