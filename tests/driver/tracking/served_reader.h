// A reader device as device creation will leave it, on top of the shared
// fixture: the smart-card library initialised, the reader functions in the
// table, the presence poll's timer, DPC, work item and lock ready. Requests
// reach the driver through SmartcardDeviceControl and cleanup through
// DispatchCleanup; what the reader saw is the fixture's trace.
//
// The destructor stops the poll as removal does, waits for its work items,
// expects no request left uncompleted and no verifier message, and hands
// the device back to the fixture, which expects no "TQM9" block left.
#pragma once

#include <memory>
#include <span>

#include "platform/kernel/io_user.h"
#include "platform/kernel/platform.h"
#include "tests/fixture/reader_device.h"

namespace trackingtest {

using readertest::Bytes;

// A T=1 card with a few historical bytes.
std::shared_ptr<emu::Card> T1Card();

class ServedReader {
 public:
  explicit ServedReader(emu::ReaderConfig config = readertest::ReaderWithFirmware("2.27"));
  ~ServedReader();
  ServedReader(const ServedReader&) = delete;
  ServedReader& operator=(const ServedReader&) = delete;

  readertest::ReaderDevice& Fixture() { return device_; }
  PDEVICE_OBJECT Device() const { return device_.Device(); }
  DeviceContext& Context() const { return device_.Context(); }
  SMARTCARD_EXTENSION& Extension() const { return device_.Context().SmartcardExtension; }
  emu::Reader& Reader() const { return device_.Reader(); }
  ULONG CardState() const { return Extension().ReaderCapabilities.CurrentState; }
  void SetCardStateField(ULONG state) { Extension().ReaderCapabilities.CurrentState = state; }

  void InsertCard(std::shared_ptr<emu::Card> card = T1Card()) { device_.InsertCard(std::move(card)); }
  void RemoveCard() { device_.Reader().RemoveCard(); }

  // Sets the reader up and leaves the trace empty: the first status read of
  // a reader that was just powered runs the set-up sequence.
  void SettleReader();
  // The request frames the reader took in since the last ClearTrace.
  std::vector<Bytes> Frames() const;
  void ClearTrace() { device_.ClearTrace(); }

  // A smart-card request through the library, waited for.
  kernel::IoResult Control(ULONG ioControlCode, std::span<const std::uint8_t> input, ULONG outputLength);
  // The same, left in flight (a tracking request that waits).
  std::unique_ptr<kernel::UserRequest> StartControl(ULONG ioControlCode, std::span<const std::uint8_t> input = {},
                                                    ULONG outputLength = 0, PFILE_OBJECT file = nullptr);
  // IOCTL_SMARTCARD_POWER with the operation as its 4-byte input.
  kernel::IoResult Power(ULONG operation, ULONG outputLength = 64);
  // IOCTL_SMARTCARD_SET_PROTOCOL with the mask as its 4-byte input.
  kernel::IoResult SetProtocol(ULONG mask, ULONG outputLength = 4);

  // A tracking request parked in the slot as the library parks it before it
  // calls CardTracking; the library itself is not involved.
  std::unique_ptr<kernel::UserRequest> ParkTrackingRequest();

  // Lets simulated time pass.
  static void Wait(LONGLONG duration) { kernel::SleepFor(duration); }

 private:
  void TakeDown();

  readertest::ReaderDevice device_;
  kernel::verifier::Capture verifier_;
};

}  // namespace trackingtest
