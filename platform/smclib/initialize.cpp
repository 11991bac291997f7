// SmartcardInitialize and SmartcardExit: the library's per-device data and
// its request and reply buffers.
#include <new>

#include "platform/kernel/platform.h"
#include "platform/smclib/library.h"

namespace {

PUCHAR AllocateBuffer(ULONG size) {
  return static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, size, SmartcardLibraryPoolTag));
}

ULONG EffectiveSize(ULONG requested) { return requested < MIN_BUFFER_SIZE ? MIN_BUFFER_SIZE : requested; }

void FreeBuffers(PSMARTCARD_EXTENSION SmartcardExtension) {
  if (SmartcardExtension->SmartcardRequest.Buffer != nullptr) ExFreePool(SmartcardExtension->SmartcardRequest.Buffer);
  if (SmartcardExtension->SmartcardReply.Buffer != nullptr) ExFreePool(SmartcardExtension->SmartcardReply.Buffer);
  SmartcardExtension->SmartcardRequest.Buffer = nullptr;
  SmartcardExtension->SmartcardReply.Buffer = nullptr;
  SmartcardExtension->SmartcardRequest.BufferLength = 0;
  SmartcardExtension->SmartcardReply.BufferLength = 0;
}

}  // namespace

NTSTATUS NTAPI SmartcardInitialize(PSMARTCARD_EXTENSION SmartcardExtension) {
  NTSTATUS planned;
  if (kernel::faults::Take("SmartcardInitialize", &planned)) return planned;
  if (SmartcardExtension == nullptr) return STATUS_INVALID_PARAMETER;
  // The record's layout is that of the versions between these two.
  if (SmartcardExtension->Version < SMCLIB_VERSION_REQUIRED || SmartcardExtension->Version > SMCLIB_VERSION) {
    return STATUS_UNSUCCESSFUL;
  }
  if (SmartcardExtension->OsData != nullptr) return STATUS_INVALID_DEVICE_STATE;
  SMARTCARD_REQUEST& request = SmartcardExtension->SmartcardRequest;
  SMARTCARD_REPLY& reply = SmartcardExtension->SmartcardReply;
  if (request.BufferSize > MAX_BUFFER_SIZE || reply.BufferSize > MAX_BUFFER_SIZE) return STATUS_INVALID_PARAMETER;

  void* block = ExAllocatePoolWithTag(NonPagedPool, sizeof(SMARTCARD_LIBRARY_DATA), SmartcardLibraryPoolTag);
  if (block == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  auto osData = new (block) SMARTCARD_LIBRARY_DATA{};

  request.BufferSize = EffectiveSize(request.BufferSize);
  reply.BufferSize = EffectiveSize(reply.BufferSize);
  request.Buffer = AllocateBuffer(request.BufferSize);
  reply.Buffer = AllocateBuffer(reply.BufferSize);
  if (request.Buffer == nullptr || reply.Buffer == nullptr) {
    FreeBuffers(SmartcardExtension);
    ExFreePool(osData);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  request.BufferLength = 0;
  reply.BufferLength = 0;

  osData->SmartcardExtension = SmartcardExtension;
  KeInitializeSpinLock(&osData->SpinLock);
  KeInitializeEvent(&osData->RequestGate, SynchronizationEvent, TRUE);
  // The first reference is the device's own; removal gives it back.
  osData->RemoveLock.Count = 1;
  osData->RemoveLock.Removed = 0;
  KeInitializeEvent(&osData->RemoveLock.RemoveEvent, NotificationEvent, FALSE);
  SmartcardExtension->PerfInfo = &osData->Performance;
  SmartcardExtension->OsData = osData;
  return STATUS_SUCCESS;
}

VOID NTAPI SmartcardExit(PSMARTCARD_EXTENSION SmartcardExtension) {
  if (SmartcardExtension == nullptr || SmartcardExtension->OsData == nullptr) return;
  PSMARTCARD_OS_DATA osData = SmartcardExtension->OsData;

  // The driver completes a waiting tracking request before it lets the
  // library go; one left behind is cancelled rather than lost.
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  auto waiting = static_cast<PIRP>(
      InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&osData->NotificationIrp), nullptr));
  if (waiting != nullptr) IoSetCancelRoutine(waiting, nullptr);
  IoReleaseCancelSpinLock(irql);
  if (waiting != nullptr) {
    waiting->IoStatus.Status = STATUS_CANCELLED;
    waiting->IoStatus.Information = 0;
    IoCompleteRequest(waiting, IO_NO_INCREMENT);
  }

  FreeBuffers(SmartcardExtension);
  SmartcardExtension->PerfInfo = nullptr;
  SmartcardExtension->OsData = nullptr;
  ExFreePool(osData);
}
