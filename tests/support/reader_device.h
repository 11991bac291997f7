// A reader device stood up on the emulated reader the way device creation
// and start do it: a device object whose extension is the DeviceContext,
// attached above the emulated port's physical device object, its buffers
// allocated, the configuration selected with its two bulk pipes, started,
// and the firmware version read (0x221 first, then 0x201). Tests reach the
// driver at its top (its functions, its control codes) and see what crossed
// the bus at its bottom.
//
// The fixture owns the platform (simulated time), so one ReaderDevice lives
// at a time. Its destructor takes the device down and checks that no block
// with the driver's pool tag is left.
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
  // What ReadFirmwareVersion returned at start (the second try when the first failed).
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
  // smart-card library's part (current request, reader function, completion)
  // is played by the fixture's dispatch routine.
  kernel::IoResult Control(ULONG ioControlCode, std::span<const std::uint8_t> input, ULONG outputLength);

 private:
  void StandUp();
  void Configure();
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
