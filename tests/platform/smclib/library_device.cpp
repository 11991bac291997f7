// The library's test device and the test's own reader functions.
#include "tests/platform/smclib/library_device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace smclibtest {
namespace {

ReaderScript g_script;
int g_trackingCalls = 0;

// The reader driver's gate: the remove lock is held around the library call.
NTSTATUS DispatchControl(PDEVICE_OBJECT device, PIRP irp) {
  auto extension = static_cast<PSMARTCARD_EXTENSION>(device->DeviceExtension);
  NTSTATUS status = SmartcardAcquireRemoveLock(extension);
  if (!NT_SUCCESS(status)) {
    irp->IoStatus.Status = STATUS_DEVICE_REMOVED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_DEVICE_REMOVED;
  }
  status = SmartcardDeviceControl(extension, irp);
  SmartcardReleaseRemoveLock(extension);
  return status;
}

NTSTATUS TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
  return STATUS_SUCCESS;
}

void RecordCall(PSMARTCARD_EXTENSION extension) {
  ReaderScript& script = g_script;
  script.calls++;
  script.major = extension->MajorIoControlCode;
  script.minor = extension->MinorIoControlCode;
  script.requestLength = extension->IoRequest.RequestBufferLength;
  script.request.assign(extension->IoRequest.RequestBuffer,
                        extension->IoRequest.RequestBuffer + extension->IoRequest.RequestBufferLength);
  script.replyBufferLength = extension->IoRequest.ReplyBufferLength;
  script.currentIrp = extension->OsData->CurrentIrp;
  script.requestIsSystemBuffer = script.currentIrp != nullptr &&
                                 extension->IoRequest.RequestBuffer == script.currentIrp->AssociatedIrp.SystemBuffer;
}

ULONG WriteReply(PSMARTCARD_EXTENSION extension) {
  const ReaderScript& script = g_script;
  const ULONG fits = std::min(static_cast<ULONG>(script.reply.size()), extension->IoRequest.ReplyBufferLength);
  if (fits != 0) std::memcpy(extension->IoRequest.ReplyBuffer, script.reply.data(), fits);
  return script.reportedLength >= 0 ? static_cast<ULONG>(script.reportedLength) : fits;
}

void CancelTracking(PDEVICE_OBJECT device, PIRP irp) {
  auto extension = static_cast<PSMARTCARD_EXTENSION>(device->DeviceExtension);
  extension->OsData->NotificationIrp = nullptr;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

}  // namespace

Bytes Ulong(ULONG value) {
  return Bytes{static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
               static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

ReaderScript& Script() { return g_script; }

int TrackingCalls() { return g_trackingCalls; }

NTSTATUS ScriptedReaderFunction(PSMARTCARD_EXTENSION SmartcardExtension) {
  RecordCall(SmartcardExtension);
  *SmartcardExtension->IoRequest.Information = WriteReply(SmartcardExtension);
  return g_script.status;
}

NTSTATUS ScriptedVendorFunction(PSMARTCARD_EXTENSION SmartcardExtension) {
  RecordCall(SmartcardExtension);
  PIRP irp = SmartcardExtension->OsData->CurrentIrp;
  irp->IoStatus.Information = WriteReply(SmartcardExtension);
  irp->IoStatus.Status = g_script.status;
  return g_script.status;
}

NTSTATUS TrackCard(PSMARTCARD_EXTENSION SmartcardExtension) {
  g_trackingCalls++;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP irp = SmartcardExtension->OsData->NotificationIrp;
  if (irp != nullptr) IoSetCancelRoutine(irp, CancelTracking);
  IoReleaseCancelSpinLock(irql);
  return STATUS_PENDING;
}

void ReportCard(PSMARTCARD_EXTENSION SmartcardExtension, bool present) {
  PSMARTCARD_OS_DATA osData = SmartcardExtension->OsData;
  KIRQL irql;
  KeAcquireSpinLock(&osData->SpinLock, &irql);
  SmartcardExtension->ReaderCapabilities.CurrentState = present ? SCARD_PRESENT : SCARD_ABSENT;
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  auto irp = static_cast<PIRP>(
      InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&osData->NotificationIrp), nullptr));
  if (irp != nullptr) IoSetCancelRoutine(irp, nullptr);
  IoReleaseCancelSpinLock(cancelIrql);
  if (irp != nullptr) {
    irp->IoStatus.Status = irp->Cancel ? STATUS_CANCELLED : STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  KeReleaseSpinLock(&osData->SpinLock, irql);
}

LibraryDevice::LibraryDevice() {
  g_script = ReaderScript{};
  g_trackingCalls = 0;
  driver_ = kernel::LoadDriver(u"\\Driver\\SmartcardLibraryTest", TestDriverEntry);
  EXPECT_EQ(IoCreateDevice(driver_, sizeof(SMARTCARD_EXTENSION), nullptr, FILE_DEVICE_SMARTCARD, 0, FALSE, &device_),
            STATUS_SUCCESS);
  SMARTCARD_EXTENSION& extension = Extension();
  extension.Version = SMCLIB_VERSION;
  extension.SmartcardRequest.BufferSize = TestBufferSize;
  extension.SmartcardReply.BufferSize = TestBufferSize;
  extension.ReaderCapabilities.CurrentState = SCARD_ABSENT;
  EXPECT_EQ(SmartcardInitialize(&extension), STATUS_SUCCESS);
  extension.OsData->DeviceObject = device_;
  device_->Flags &= ~DO_DEVICE_INITIALIZING;
}

LibraryDevice::~LibraryDevice() {
  SMARTCARD_EXTENSION& extension = Extension();
  if (extension.OsData != nullptr) {
    SmartcardReleaseRemoveLockAndWait(&extension);
    SmartcardExit(&extension);
  }
  EXPECT_EQ(kernel::irps::InProgress(), 0u) << "a request was left uncompleted";
  IoDeleteDevice(device_);
  kernel::UnloadDriver(driver_);
  EXPECT_EQ(kernel::pool::LiveBlocks(LibraryTag), 0u) << "a block of the library outlived its device";
}

kernel::IoResult LibraryDevice::Control(ULONG code, std::span<const std::uint8_t> input, ULONG outputLength) {
  return Start(code, input, outputLength)->Wait();
}

std::unique_ptr<kernel::UserRequest> LibraryDevice::Start(ULONG code, std::span<const std::uint8_t> input,
                                                          ULONG outputLength) {
  return kernel::StartDeviceIoControl(nullptr, code, input, outputLength, false, device_);
}

}  // namespace smclibtest
