// Builds request frames by hand and moves them through the reader's USB
// side the way the host does, at explicit times.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

#include "emulator/card/card.h"
#include "emulator/reader/descriptors.h"
#include "emulator/reader/frame.h"
#include "emulator/reader/reader.h"

namespace emu::test {

inline Bytes NewCommand(std::uint8_t control, std::initializer_list<std::uint8_t> info) {
  return BuildNewFrame(kNewCommandAddress, control, Bytes(info));
}

inline Bytes OldCommand(std::initializer_list<std::uint8_t> info) {
  return BuildOldFrame(kOldCommandType, Bytes(info));
}

inline ReaderConfig InstantConfig(const char* firmware = "2.27") {
  ReaderConfig config;
  config.firmwareVersion = firmware;
  config.timing = TimingModel::Instant();
  return config;
}

// A card that offers T=0 and T=1 with a short ATR of its own.
inline std::shared_ptr<Card> DualProtocolCard(std::uint32_t nullProcedureBytes = 0) {
  CardConfig config;
  config.atr.t0 = true;
  config.atr.t1 = true;
  config.atr.historical = {0x45, 0x4D, 0x55};
  config.t0NullProcedureBytes = nullProcedureBytes;
  return std::make_shared<Card>(config);
}

inline std::shared_ptr<Card> T1OnlyCard() {
  CardConfig config;
  config.atr.t0 = false;
  config.atr.t1 = true;
  return std::make_shared<Card>(config);
}

// The length a reply announces, complete at L + 4 bytes in both generations.
inline std::uint32_t AnnouncedLength(const Bytes& reply, Generation generation) {
  if (reply.size() < 4) return 0;
  if (generation == Generation::Old) return (std::uint32_t{reply[1]} << 16) | (std::uint32_t{reply[2]} << 8) | reply[3];
  return reply[2];
}

class Host {
 public:
  explicit Host(Reader& reader) : reader_(reader) {}

  // One frame as the host writes it: one transfer, and a zero-length one
  // after a frame whose length is a multiple of 64.
  usb::OutResult Write(const Bytes& frame, DeviceTime now) {
    usb::OutResult result = reader_.BulkOut(kBulkOutEndpoint, frame, now);
    if (!result.failed && !frame.empty() && frame.size() % 64 == 0) {
      result = reader_.BulkOut(kBulkOutEndpoint, {}, now);
    }
    return result;
  }

  usb::InResult Read(std::uint32_t maxLength, DeviceTime now) {
    return reader_.BulkIn(kBulkInEndpoint, maxLength, now);
  }

  // Gathers one reply in IN transfers of `chunk` bytes until it holds its
  // announced length plus 4, as the host's exchange does; stops at the first
  // transfer that brings nothing.
  Bytes Gather(Generation generation, DeviceTime now, std::uint32_t chunk = 256) {
    Bytes reply;
    for (int reads = 0; reads < 100'000; ++reads) {
      const usb::InResult in = Read(chunk, now);
      if (in.kind != usb::InResult::Kind::Data || in.data.empty()) break;
      reply.insert(reply.end(), in.data.begin(), in.data.end());
      if (reply.size() >= 4 && reply.size() >= AnnouncedLength(reply, generation) + 4) break;
    }
    return reply;
  }

  // Writes a frame and gathers its reply, both at `now`.
  Bytes Exchange(const Bytes& frame, DeviceTime now = 0) {
    Write(frame, now);
    const Generation generation = GenerationOf(frame.empty() ? 0 : frame[0], reader_.NativeGeneration());
    return Gather(generation, now);
  }

 private:
  Reader& reader_;
};

// The host's test for the reader's error reply: 8 bytes, byte 0 0x21, byte 2
// 4, high nibble of byte 5 0xF, byte 6 0xAD.
inline bool IsNewErrorReply(const Bytes& r) {
  return r.size() == 8 && r[0] == 0x21 && r[2] == 4 && (r[5] & 0xF0) == 0xF0 && r[6] == 0xAD;
}

inline bool CheckByteValid(const Bytes& frame) {
  return !frame.empty() && CheckByte(std::span(frame).first(frame.size() - 1)) == frame.back();
}

}  // namespace emu::test
