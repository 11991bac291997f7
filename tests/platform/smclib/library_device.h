// A device of the library's tests: a bare SMARTCARD_EXTENSION the library
// initialised, a device-control dispatch that holds the remove lock around
// SmartcardDeviceControl as a reader driver's gate does, and reader
// functions of the test's own that record what the library handed them.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/kernel/io_user.h"
#include "platform/kernel/platform.h"
#include "platform/smclib/library.h"

namespace smclibtest {

using Bytes = std::vector<std::uint8_t>;
constexpr ULONG kBufferSize = 0x10400;

inline Bytes Ulong(ULONG v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 24)};
}

// What the last reader function call saw, and what the next one answers.
struct Script {
  int calls = 0;
  ULONG major = 0, minor = 0, replyBufferLength = 0;
  Bytes request;
  Bytes reply;
  ULONG reportedLength = 0;  // the count the function reports; 0: what it copied
  NTSTATUS status = STATUS_SUCCESS;
};
inline Script g_script;

// Records the call and writes the scripted reply (never past ReplyBufferLength).
inline NTSTATUS ReaderFunction(PSMARTCARD_EXTENSION e) {
  Script& s = g_script;
  s.calls++;
  s.major = e->MajorIoControlCode;
  s.minor = e->MinorIoControlCode;
  s.request.assign(e->IoRequest.RequestBuffer, e->IoRequest.RequestBuffer + e->IoRequest.RequestBufferLength);
  s.replyBufferLength = e->IoRequest.ReplyBufferLength;
  const ULONG fits = std::min(static_cast<ULONG>(s.reply.size()), e->IoRequest.ReplyBufferLength);
  if (fits != 0) std::memcpy(e->IoRequest.ReplyBuffer, s.reply.data(), fits);
  *e->IoRequest.Information = s.reportedLength != 0 ? s.reportedLength : fits;
  // A vendor function reports through the request itself.
  e->OsData->CurrentIrp->IoStatus.Information = *e->IoRequest.Information;
  e->OsData->CurrentIrp->IoStatus.Status = s.status;
  return s.status;
}

// Card tracking as a reader driver does it: the waiting request gets a cancel routine.
inline NTSTATUS TrackCard(PSMARTCARD_EXTENSION e) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  IoSetCancelRoutine(e->OsData->NotificationIrp, [](PDEVICE_OBJECT device, PIRP irp) {
    static_cast<PSMARTCARD_EXTENSION>(device->DeviceExtension)->OsData->NotificationIrp = nullptr;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  });
  IoReleaseCancelSpinLock(irql);
  return STATUS_PENDING;
}

// A card change: the new state, and the waiting request completed.
inline void ReportCard(PSMARTCARD_EXTENSION e, ULONG state) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  e->ReaderCapabilities.CurrentState = state;
  PIRP irp = e->OsData->NotificationIrp;
  e->OsData->NotificationIrp = nullptr;
  if (irp != nullptr) IoSetCancelRoutine(irp, nullptr);
  IoReleaseCancelSpinLock(irql);
  if (irp != nullptr) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
}

class LibraryDevice {
 public:
  LibraryDevice() {
    g_script = Script{};
    driver_ = kernel::LoadDriver(u"\\Driver\\SmartcardLibraryTest", [](PDRIVER_OBJECT driver, PUNICODE_STRING) {
      driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT device, PIRP irp) {
        auto extension = static_cast<PSMARTCARD_EXTENSION>(device->DeviceExtension);
        if (!NT_SUCCESS(SmartcardAcquireRemoveLock(extension))) {
          irp->IoStatus.Status = STATUS_DEVICE_REMOVED;
          IoCompleteRequest(irp, IO_NO_INCREMENT);
          return STATUS_DEVICE_REMOVED;
        }
        const NTSTATUS status = SmartcardDeviceControl(extension, irp);
        SmartcardReleaseRemoveLock(extension);
        return status;
      };
      return STATUS_SUCCESS;
    });
    IoCreateDevice(driver_, sizeof(SMARTCARD_EXTENSION), nullptr, FILE_DEVICE_SMARTCARD, 0, FALSE, &device_);
    SMARTCARD_EXTENSION& e = Extension();
    e.Version = SMCLIB_VERSION;
    e.SmartcardRequest.BufferSize = e.SmartcardReply.BufferSize = kBufferSize;
    EXPECT_EQ(SmartcardInitialize(&e), STATUS_SUCCESS);
    e.OsData->DeviceObject = device_;
    for (ULONG slot : {RDF_CARD_POWER, RDF_TRANSMIT, RDF_SET_PROTOCOL, RDF_IOCTL_VENDOR})
      e.ReaderFunction[slot] = ReaderFunction;
    e.ReaderFunction[RDF_CARD_TRACKING] = TrackCard;
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  ~LibraryDevice() {
    if (Extension().OsData != nullptr) {
      SmartcardReleaseRemoveLockAndWait(&Extension());
      SmartcardExit(&Extension());
    }
    EXPECT_EQ(kernel::irps::InProgress(), 0u) << "a request was left uncompleted";
    IoDeleteDevice(device_);
    kernel::UnloadDriver(driver_);
    EXPECT_EQ(kernel::pool::LiveBlocks(PoolTag("SCLB")), 0u) << "a block of the library outlived its device";
  }
  SMARTCARD_EXTENSION& Extension() const { return *static_cast<PSMARTCARD_EXTENSION>(device_->DeviceExtension); }
  std::unique_ptr<kernel::UserRequest> Start(ULONG code, const Bytes& input = {}, ULONG outputLength = 0) {
    return kernel::StartDeviceIoControl(nullptr, code, input, outputLength, false, device_);
  }
  kernel::IoResult Control(ULONG code, const Bytes& input = {}, ULONG outputLength = 0) {
    return Start(code, input, outputLength)->Wait();
  }

 private:
  kernel::Platform platform_{kernel::ClockMode::Simulated};
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
};

}  // namespace smclibtest
