// A reader device stood up on the emulated reader the way the Plug and Play
// manager does it: AddDevice above the emulated port's physical device
// object, then IRP_MN_START_DEVICE (configuration, firmware version, first
// card state, reader interface enabled). The first presence poll, which
// creation asks for, has read the card state by the time the constructor
// returns, so the reader is left alone from then on unless a tracking
// request waits. Tests reach the driver at its top (its functions, its
// control codes) and see what crossed the bus at its bottom.
//
// The fixture owns the platform (simulated time), so one ReaderDevice lives
// at a time. Its destructor removes the device with IRP_MN_REMOVE_DEVICE and
// checks that the device object is gone, that no request is left uncompleted
// and that no block with the driver's pool tag is left.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "device/device_context.h"
#include "emulator/reader/reader.h"
#include "kernel/io_user.h"
#include "kernel/platform.h"
#include "usb/emulated_port.h"

namespace readertest {

using Bytes = std::vector<std::uint8_t>;

// A reader with this firmware text and the emulator's default timing.
emu::ReaderConfig ReaderWithFirmware(const char* firmware);

// A card that offers T=0 and T=1.
std::shared_ptr<emu::Card> DualProtocolCard();

class ReaderDevice {
 public:
  explicit ReaderDevice(emu::ReaderConfig config = ReaderWithFirmware("2.27"));
  // A reader prepared beforehand, for faults that the start itself meets.
  explicit ReaderDevice(std::shared_ptr<emu::Reader> reader);
  ~ReaderDevice();
  ReaderDevice(const ReaderDevice&) = delete;
  ReaderDevice& operator=(const ReaderDevice&) = delete;

  PDEVICE_OBJECT Device() const { return device_; }
  DeviceContext& Context() const { return *GetDeviceContext(device_); }
  READER_EXTENSION& Extension() const { return *GetReaderExtension(&Context()); }
  emu::Reader& Reader() const { return *reader_; }
  usb::EmulatedPort& Port() { return port_; }
  // The status IRP_MN_START_DEVICE was completed with.
  NTSTATUS StartStatus() const { return startStatus_; }

  void InsertCard(std::shared_ptr<emu::Card> card) { reader_->InsertCard(std::move(card)); }

  // Forgets what crossed the bus and what the reader logged so far.
  void ClearTrace();
  // The bulk-out transfers as the bus saw them, zero-length ones included.
  std::vector<Bytes> Written() const;
  // The bulk-in transfers that brought data.
  std::vector<Bytes> ReadPieces() const;
  // The request frames the reader took in, and when each was complete.
  std::vector<emu::FrameRecord> FramesReceived() const { return reader_->FramesReceived(); }

  // Copies bytes into ExchangeBuffer and sets ExchangeLength.
  void LoadExchange(std::span<const std::uint8_t> frame);
  Bytes ExchangeBytes() const;

  // A buffered control request sent to the top of the device's stack; the
  // smart-card library's part for the vendor codes (current request, reader
  // function, completion) is played by the fixture's dispatch routine.
  kernel::IoResult Control(ULONG ioControlCode, std::span<const std::uint8_t> input, ULONG outputLength);

 private:
  void StandUp();
  void TakeDown();

  // First in, last out: the port and the device need the platform's threads.
  kernel::Platform platform_{kernel::ClockMode::Simulated};
  std::shared_ptr<emu::Reader> reader_;
  usb::EmulatedPort port_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  NTSTATUS startStatus_ = STATUS_PENDING;
};

}  // namespace readertest
