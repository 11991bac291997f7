// The life of reader devices as the Plug and Play manager drives it: a
// driver object whose table holds the driver's Plug and Play, create, close
// and cleanup handlers (until the driver has its own entry), readers plugged
// into ports of the emulated hub, AddDevice, and Plug and Play, create and
// close requests sent to the top of each stack.
//
// The bench owns the platform (simulated time), so one lives at a time; the
// readers plugged into it are destroyed before it. A reader whose device is
// still there at its end is removed. Every removal is checked: the device
// object is gone, no request is left uncompleted, and, once the last device
// has gone, no block tagged "TQM9" is left.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/device/device_context.h"
#include "emulator/reader/reader.h"
#include "platform/kernel/io_user.h"
#include "platform/kernel/platform.h"
#include "tests/fixture/reader_device.h"
#include "platform/usb/emulated_port.h"

namespace devicetest {

using Bytes = std::vector<std::uint8_t>;

constexpr LONGLONG Ms = kernel::kMillisecond;

using readertest::ReaderWithFirmware;
// The configuration above with a card powered as it is inserted, so that a
// status read reports it ready (0x38).
emu::ReaderConfig ReaderPoweringCards(const char* firmware = "2.27");
std::shared_ptr<emu::Card> TestCard();

// The reader with its configuration descriptor answered wrongly.
class DescriptorFaults : public usb::UsbFunction {
 public:
  enum class Fault { None, Stall, Truncate };
  explicit DescriptorFaults(std::shared_ptr<emu::Reader> reader);
  ~DescriptorFaults() override;
  void SetConfigurationFault(Fault fault, std::size_t keep = 0);

  std::vector<std::uint8_t> GetDescriptor(std::uint8_t type, std::uint8_t index) override;
  void SetConfiguration(std::uint8_t configurationValue) override { reader_->SetConfiguration(configurationValue); }
  usb::OutResult BulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data, usb::DeviceTime now) override {
    return reader_->BulkOut(endpoint, data, now);
  }
  usb::InResult BulkIn(std::uint8_t endpoint, std::uint32_t maxLength, usb::DeviceTime now) override {
    return reader_->BulkIn(endpoint, maxLength, now);
  }
  void AbortEndpoint(std::uint8_t endpoint) override { reader_->AbortEndpoint(endpoint); }
  usb::PortStatus GetPortStatus() override { return reader_->GetPortStatus(); }
  void ResetPort() override { reader_->ResetPort(); }

 private:
  std::shared_ptr<emu::Reader> reader_;
  Fault fault_ = Fault::None;
  std::size_t keep_ = 0;
};

class Bench {
 public:
  Bench();
  ~Bench();
  Bench(const Bench&) = delete;
  Bench& operator=(const Bench&) = delete;

  PDRIVER_OBJECT Driver() const { return driver_; }
  std::vector<std::string> VerifierMessages() const { return verifier_.Messages(); }
  // Lets simulated time pass.
  static void Wait(LONGLONG duration) { kernel::SleepFor(duration); }

 private:
  kernel::Platform platform_{kernel::ClockMode::Simulated};
  kernel::verifier::Capture verifier_;
  PDRIVER_OBJECT driver_ = nullptr;
};

class PluggedReader {
 public:
  PluggedReader(Bench& bench, emu::ReaderConfig config = ReaderWithFirmware("2.27"));
  // A reader behind a function that may answer its descriptors wrongly.
  PluggedReader(Bench& bench, std::shared_ptr<DescriptorFaults> function, std::shared_ptr<emu::Reader> reader);
  ~PluggedReader();
  PluggedReader(const PluggedReader&) = delete;
  PluggedReader& operator=(const PluggedReader&) = delete;

  NTSTATUS Add();
  // A Plug and Play request sent to the top of the stack, waited for.
  NTSTATUS Pnp(UCHAR minorFunction);
  NTSTATUS Start() { return Pnp(IRP_MN_START_DEVICE); }
  // Removal, then the checks every removal gets.
  NTSTATUS Remove();
  // The checks of Remove, for a removal sent some other way.
  void ExpectDeviceGone();

  bool Added() const { return device_ != nullptr; }
  PDEVICE_OBJECT Device() const { return device_; }
  DeviceContext& Context() const { return *GetDeviceContext(device_); }
  SMARTCARD_EXTENSION& Extension() const { return Context().SmartcardExtension; }
  emu::Reader& Reader() const { return *reader_; }
  usb::EmulatedPort& Port() { return *port_; }

  // The request frames the reader took in, and their command bytes (the
  // byte after the class byte 01), since the last ClearTrace.
  std::vector<Bytes> Frames() const;
  std::vector<std::uint8_t> Commands() const;
  void ClearTrace();
  // The buffer lengths of the descriptor reads that crossed the bus.
  std::vector<ULONG> DescriptorReads(UCHAR type) const;
  std::vector<usb::TraceEntry::Kind> ConfigurationRequests() const;
  // The endpoints of the pipe aborts that crossed the bus.
  std::vector<std::uint8_t> AbortedEndpoints() const;
  // The reader interface's state; nullopt when none is registered.
  std::optional<bool> InterfaceEnabled() const;

  // A handle by name; null when the open failed, with *status set.
  PFILE_OBJECT Open(std::u16string_view name, NTSTATUS* status);
  NTSTATUS Close(PFILE_OBJECT file) { return kernel::CloseFile(file); }
  // Cleanup and close for a handle whose close a removal waits for: nothing
  // here touches the device once the close has come back, since the removal
  // may delete it at once. The stack stays counted as open; it is not
  // opened again.
  void CloseDuringRemoval(PFILE_OBJECT file);
  // A smart-card or vendor request through the library, waited for.
  kernel::IoResult Control(ULONG ioControlCode, std::span<const std::uint8_t> input, ULONG outputLength);
  // A card-tracking request through the smart-card library, left waiting.
  std::unique_ptr<kernel::UserRequest> TrackCard(ULONG ioControlCode);

 private:
  Bench& bench_;
  std::shared_ptr<emu::Reader> reader_;
  std::unique_ptr<usb::EmulatedPort> port_;
  // The top of the stack before AddDevice: the port, or a filter on it.
  PDEVICE_OBJECT below_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
};

// The command byte of a reader command frame in either generation; 0 for
// anything else.
std::uint8_t CommandOf(const Bytes& frame);

}  // namespace devicetest
