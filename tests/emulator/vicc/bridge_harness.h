// A reader, the listener and its host side in one fixture: the reader's bulk
// endpoints are driven the way the host drives them, and a fake vicc
// connects to the listener.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "emulator/card/t1_block.h"
#include "emulator/vicc/vicc_listener.h"
#include "tests/emulator/reader/reader_harness.h"
#include "tests/emulator/vicc/fake_vicc.h"

namespace emu::test {

// T=1 only: TD1 81 and TD2 31 name T=1, TA3 FE is the IFSC, TB3 45; TCK 8B.
inline const Bytes kT1Atr = {0x3B, 0x80, 0x81, 0x31, 0xFE, 0x45, 0x8B};
// T=0 only: no interface bytes.
inline const Bytes kT0Atr = {0x3B, 0x00};

// Reset parameters of the reader's 01 D1 command: bit 0 asks for T=1, bit 1 for a warm reset.
constexpr std::uint8_t kColdT0 = 0x00;
constexpr std::uint8_t kColdT1 = 0x01;
constexpr std::uint8_t kWarmT1 = 0x03;

class ViccBridge : public ::testing::Test {
 protected:
  // Short enough that a test of a silent vicc takes little time, long
  // enough for a loaded machine.
  static constexpr std::chrono::milliseconds kTestReplyBound{300};

  Reader reader{InstantConfig("2.27")};
  Host host{reader};
  std::unique_ptr<ViccListener> listener = std::make_unique<ViccListener>(reader, 0, kEventBound);

  void ListenWithBound(std::chrono::milliseconds bound) {
    listener.reset();
    listener = std::make_unique<ViccListener>(reader, 0, bound);
  }

  // Connects a fake vicc and waits for its card to be inserted.
  std::unique_ptr<FakeVicc> Insert(FakeVicc::Answer answer) {
    const std::uint32_t before = listener->Stats().insertions;
    auto vicc = std::make_unique<FakeVicc>(listener->Port(), std::move(answer));
    EXPECT_TRUE(vicc->Connected());
    EXPECT_TRUE(listener->WaitFor([&](const ViccStats& s) { return s.insertions > before; }, kEventBound));
    return vicc;
  }

  bool WaitForRemovals(std::uint32_t count) {
    return listener->WaitFor([&](const ViccStats& s) { return s.removals >= count; }, kEventBound);
  }

  Bytes ResetCard(std::uint8_t parameter) { return host.Exchange(NewCommand(0x00, {0x01, 0xD1, parameter})); }

  // One T=1 block from the host (NAD 52) and the card's answering block.
  Bytes T1Exchange(std::uint8_t sequence, const Bytes& apdu) {
    return host.Exchange(t1::BuildIBlock(0x52, sequence, false, apdu));
  }
};

}  // namespace emu::test
