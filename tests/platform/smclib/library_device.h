// A device of the library's tests: its extension is a bare
// SMARTCARD_EXTENSION initialised by the library, its device-control
// dispatch holds the remove lock around SmartcardDeviceControl as a reader
// driver's gate does, and its reader functions are the test's own: they
// record what the library handed them and answer what the test scripted.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/kernel/io_user.h"
#include "platform/kernel/platform.h"
#include "platform/smclib/library.h"

namespace smclibtest {

using Bytes = std::vector<std::uint8_t>;

constexpr ULONG LibraryTag = PoolTag("SCLB");
constexpr ULONG TestBufferSize = 0x10400;

Bytes Ulong(ULONG value);

// What the last reader function call saw, and what the next one answers.
struct ReaderScript {
  int calls = 0;
  ULONG major = 0;
  ULONG minor = 0;
  Bytes request;
  ULONG requestLength = 0;
  ULONG replyBufferLength = 0;
  bool requestIsSystemBuffer = false;
  PIRP currentIrp = nullptr;

  Bytes reply;
  // The count reported through IoRequest.Information; the reply's size when negative.
  LONGLONG reportedLength = -1;
  NTSTATUS status = STATUS_SUCCESS;
};

// The script of the running test; reset by every LibraryDevice.
ReaderScript& Script();

// Records the call and writes the scripted reply (never past ReplyBufferLength).
NTSTATUS ScriptedReaderFunction(PSMARTCARD_EXTENSION SmartcardExtension);
// A vendor function as the platform's get them: the count goes into the request itself.
NTSTATUS ScriptedVendorFunction(PSMARTCARD_EXTENSION SmartcardExtension);

// Card tracking as a reader driver does it: the waiting request gets a
// cancel routine; a card change completes it.
NTSTATUS TrackCard(PSMARTCARD_EXTENSION SmartcardExtension);
int TrackingCalls();
// Writes SCARD_PRESENT or SCARD_ABSENT and completes a waiting request.
void ReportCard(PSMARTCARD_EXTENSION SmartcardExtension, bool present);

class LibraryDevice {
 public:
  LibraryDevice();
  ~LibraryDevice();
  LibraryDevice(const LibraryDevice&) = delete;
  LibraryDevice& operator=(const LibraryDevice&) = delete;

  SMARTCARD_EXTENSION& Extension() const { return *static_cast<PSMARTCARD_EXTENSION>(device_->DeviceExtension); }
  PDEVICE_OBJECT Device() const { return device_; }

  kernel::IoResult Control(ULONG code, std::span<const std::uint8_t> input, ULONG outputLength);
  std::unique_ptr<kernel::UserRequest> Start(ULONG code, std::span<const std::uint8_t> input, ULONG outputLength);

 private:
  kernel::Platform platform_{kernel::ClockMode::Simulated};
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
};

}  // namespace smclibtest
