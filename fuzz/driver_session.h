// One input's world for the fuzz targets: the tests' driver session (the
// process's platform in simulated time, one thread at a time, DriverEntry,
// the device behind an emulated port, the managers' requests from the top),
// torn down at the end of the input, where the invariants are checked: every
// request completed (exactly once: the verifier aborts on a second
// completion) and freed, the device object gone, no pool block of any tag
// left, "TQM9" included. A broken invariant aborts, which libFuzzer reports
// as a finding. Then the platform is reset to the state a new one has (its
// threads kept), so the next input starts from the same world.
//
// The hostile card's session: an emulated reader (its firmware from the
// input) with a TapeCard, started, then up to kCardOperations operations
// read from the input: resets, protocol selections, power down and
// transmissions of arbitrary commands with arbitrary reply room.
// Input: firmware selector, then per operation a byte o (o % 8):
//   0 cold reset, 1 warm reset, 2 select protocol (next byte % 3 + 1 as the
//   mask), 7 power down, otherwise transmit: 16-bit length (modulo 1100),
//   the command, a byte r for the reply room (0: 0x10400, else r x 4).
// The card's answers are read from the same input when the card is asked
// (fuzz/hostile_devices.h), so they follow the operation that asked for them.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "fuzz/tape.h"
#include "tests/fixture/driver_session.h"

namespace fuzzing {

using readertest::Bytes;
using readertest::ChainingCard;
using readertest::ChainingCardConfig;
using readertest::TransmitRequest;
using readertest::Ulong;

// An emulated instant reader with this firmware, the card inserted; it keeps
// no log of its frames, which no target reads.
std::shared_ptr<emu::Reader> ReaderWithCard(std::shared_ptr<emu::Card> card, const char* firmware = "2.27");

// Aborts with the message when the condition is false.
void Require(bool condition, std::string_view message);

// The platform every input of the process runs on, started by the first.
kernel::Platform& World();
// After an input's checks: with FUZZ_OUTCOME set, prints the digest of its
// outcome ("fuzz outcome <hex>", which scripts/fuzz.sh compares with a run of
// the input alone), then resets the world.
void EndInput(std::uint64_t outcome);

class Session : public readertest::DriverSession {
 public:
  // The driver loaded; once the gate answered busy, later requests are not sent.
  explicit Session(std::shared_ptr<usb::UsbFunction> device);
  ~Session();
};

// A device's whole life, as the hostile reader's target and its seed
// generator both run it: start, the reader interface opened, card tracking,
// cold reset, both protocols with a command each, warm reset, the eight
// vendor codes, power down, eject, sleep and resume, surprise removal and
// removal. Every step is sent whatever the earlier ones returned.
void RunReaderLifecycle(std::shared_ptr<usb::UsbFunction> reader);

constexpr int kCardOperations = 10;
void RunCardSession(Tape& tape, std::shared_ptr<emu::Card> card);

}  // namespace fuzzing
