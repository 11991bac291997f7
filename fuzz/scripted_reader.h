// A reader whose bulk-in answers are bytes the fuzzer chose: whatever the
// driver sends, each IN transfer is served the next piece of a reply script.
// Its descriptors are the emulated reader's (of a configuration the script's
// first byte picks), so the device starts as far as its replies let it.
//
// The script, after that first byte, is a sequence of pieces, each one
// header byte h, then data:
//   0x00..0xEF  h + 1 bytes of data (fewer when the host asked for fewer)
//   0xF0..0xF5  no data yet: the transfer is NAKed for 1 ms, 10 ms, 100 ms,
//               1 s, 6 s or 8 s (past the 5 s and 7 s bounds)
//   0xF6        a zero-length packet
//   0xF7        the transfer fails (a stall)
//   0xF8..0xFF  as much data as the host asked for
// When the script is used up, every further IN transfer fails: a reader
// with nothing more to say.
//
// RecordingReader is the other direction: the emulated reader itself, with
// each answer it gives written down in this format, for seed corpora.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "emulator/reader/reader.h"
#include "platform/usb/usb_function.h"

namespace fuzzing {

// The emulated reader's configurations the first script byte picks from
// (its value modulo the count): firmware generation, endpoint order, the
// length of the configuration descriptor.
emu::ReaderConfig ScriptedReaderConfig(std::uint8_t selector);

class ScriptedReader : public usb::UsbFunction {
 public:
  explicit ScriptedReader(std::span<const std::uint8_t> script);

  std::vector<std::uint8_t> GetDescriptor(std::uint8_t type, std::uint8_t index) override;
  void SetConfiguration(std::uint8_t) override {}
  usb::OutResult BulkOut(std::uint8_t endpointAddress, std::span<const std::uint8_t> data,
                         usb::DeviceTime now) override;
  usb::InResult BulkIn(std::uint8_t endpointAddress, std::uint32_t maxLength, usb::DeviceTime now) override;
  void AbortEndpoint(std::uint8_t) override {}
  usb::PortStatus GetPortStatus() override;
  void ResetPort() override {}

 private:
  std::mutex mu_;
  emu::Reader descriptors_;
  std::vector<std::uint8_t> script_;
  std::size_t next_ = 0;
  bool portEnabled_ = true;
};

class RecordingReader : public usb::UsbFunction {
 public:
  RecordingReader(std::uint8_t selector, std::shared_ptr<emu::Card> card);

  std::vector<std::uint8_t> GetDescriptor(std::uint8_t type, std::uint8_t index) override;
  void SetConfiguration(std::uint8_t value) override { reader_->SetConfiguration(value); }
  usb::OutResult BulkOut(std::uint8_t endpointAddress, std::span<const std::uint8_t> data,
                         usb::DeviceTime now) override;
  usb::InResult BulkIn(std::uint8_t endpointAddress, std::uint32_t maxLength, usb::DeviceTime now) override;
  void AbortEndpoint(std::uint8_t endpointAddress) override { reader_->AbortEndpoint(endpointAddress); }
  usb::PortStatus GetPortStatus() override { return reader_->GetPortStatus(); }
  void ResetPort() override { reader_->ResetPort(); }

  emu::Reader& Reader() { return *reader_; }
  // The script that replays the answers given so far.
  std::vector<std::uint8_t> Script() const;

 private:
  mutable std::mutex mu_;
  std::shared_ptr<emu::Reader> reader_;
  std::vector<std::uint8_t> script_;
};

}  // namespace fuzzing
