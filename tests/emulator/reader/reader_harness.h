// Moves frames through the reader's USB side the way the host does, at
// explicit times, and writes down what the host sees.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "emulator/card/card.h"
#include "emulator/reader/descriptors.h"
#include "emulator/reader/frame.h"
#include "emulator/reader/reader.h"
#include "tests/emulator/card/card_test_helpers.h"

namespace emu::test {

inline ReaderConfig InstantConfig(const char* firmware = "2.27") {
  ReaderConfig config;
  config.firmwareVersion = firmware;
  config.timing = TimingModel::Instant();
  return config;
}

class Host {
 public:
  explicit Host(Reader& reader) : reader_(reader) {}

  usb::OutResult Write(const Bytes& frame, DeviceTime now) { return reader_.BulkOut(kBulkOutEndpoint, frame, now); }

  usb::InResult Read(std::uint32_t maxLength, DeviceTime now) {
    return reader_.BulkIn(kBulkInEndpoint, maxLength, now);
  }

  // Writes a frame and returns every byte the reader has for the host then.
  Bytes Exchange(const Bytes& frame, DeviceTime now = 0) {
    Write(frame, now);
    Bytes reply;
    for (usb::InResult in = Read(256, now); in.kind == usb::InResult::Kind::Data && !in.data.empty();
         in = Read(256, now)) {
      reply.insert(reply.end(), in.data.begin(), in.data.end());
    }
    return reply;
  }

  // The IN transfers the host gets at `now` until the reader has nothing:
  // "|"-separated, each in hex, "zlp" for an empty one, then "nak" (with "@t" when the reader names a
  // time) or "fail".
  std::string Seen(DeviceTime now) {
    static const char* digits = "0123456789ABCDEF";
    std::string seen;
    for (int transfers = 0; transfers < 8; ++transfers) {
      const usb::InResult in = Read(256, now);
      if (!seen.empty()) seen += "|";
      if (in.kind == usb::InResult::Kind::Failed) return seen + "fail";
      if (in.kind == usb::InResult::Kind::NotReady) {
        return seen + (in.readyAt == usb::kNever ? "nak" : "nak@" + std::to_string(in.readyAt));
      }
      if (in.data.empty()) return seen + "zlp";
      for (std::uint8_t b : in.data) seen += {digits[b >> 4], digits[b & 15]};
    }
    return seen + "|...";
  }

 private:
  Reader& reader_;
};

// Compares what the host saw with a row's expectation, spaces in it ignored.
inline std::string Squeezed(std::string text) {
  std::erase(text, ' ');
  return text;
}

}  // namespace emu::test
