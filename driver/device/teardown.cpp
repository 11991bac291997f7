// ReleaseDeviceResources and what the ways a device ends share.
#include "driver/device/teardown.h"

#include "driver/device/pnp.h"
#include "driver/device/reader_unit_counter.h"
#include "driver/reader/delay.h"
#include "driver/tracking/card_tracking.h"

namespace {

template <typename T>
void FreeAndClear(T*& Block) {
  if (Block != nullptr) ExFreePool(Block);
  Block = nullptr;
}

}  // namespace

BOOLEAN WaitForPollWorkItems(DeviceContext* Context, ULONG MaxSteps) {
  for (ULONG step = 0; step < MaxSteps; ++step) {
    if (InterlockedCompareExchange(&Context->WorkItemsPending, 0, 0) <= 0) return TRUE;
    DelayMilliseconds(1);
  }
  return InterlockedCompareExchange(&Context->WorkItemsPending, 0, 0) <= 0 ? TRUE : FALSE;
}

void FreeDeviceResources(PDEVICE_OBJECT DeviceObject) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  SMARTCARD_EXTENSION& extension = context->SmartcardExtension;
  if (context->SymbolicLinkName.Buffer != nullptr) IoSetDeviceInterfaceState(&context->SymbolicLinkName, FALSE);
  if (extension.OsData != nullptr) {
    CompleteTrackingAtRemoval(context);
    // Open handles hold the remove lock until they are closed.
    SmartcardReleaseRemoveLockAndWait(&extension);
    SmartcardExit(&extension);
  }
  if (context->SymbolicLinkName.Buffer != nullptr) RtlFreeUnicodeString(&context->SymbolicLinkName);
  FreeAndClear(extension.ReaderExtension);
  FreeAndClear(context->DeviceDescriptor);
  FreeAndClear(context->PipeOpenFlags);
  FreeAndClear(context->InterfaceInformation);
  FreeAndClear(context->ConfigurationDescriptor);
  FreeAndClear(context->ExchangeBuffer);
  FreeAndClear(context->BlockBuffer);
  FreeAndClear(context->AtrBuffer);
  FreeAndClear(context->PollWorkItem);
}

NTSTATUS ReleaseDeviceResources(PDEVICE_OBJECT DeviceObject) {
  FreeDeviceResources(DeviceObject);
  GiveBackReaderUnitNumber();
  return STATUS_SUCCESS;
}

void DeleteReaderDevice(PDEVICE_OBJECT DeviceObject) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  // The poll is stopped, so no new work item comes; one still queued or
  // running uses the device, its work item record and its buffers to its end.
  while (!WaitForPollWorkItems(context, PollWorkItemWaitSteps)) {
  }
  ReleaseDeviceResources(DeviceObject);
  if (context->AttachedDeviceObject != nullptr) IoDetachDevice(context->AttachedDeviceObject);
  IoDeleteDevice(DeviceObject);
}
