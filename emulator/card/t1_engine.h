// The card's T=1 block engine (ISO/IEC 7816-3 clause 11): sequence numbers
// both ways, chaining both ways, S-blocks, error recovery, and the scripted
// faults that tests use to make the card misbehave.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>

#include "emulator/card/bytes.h"
#include "emulator/card/t1_decision.h"

namespace emu {

struct T1Fault;
class ApduService;

class T1Engine {
 public:
  // Accepted command APDUs are at most 4 + 3 + 65535 + 2 bytes long.
  static constexpr std::size_t kMaxCommand = 65544;

  // `ifsc` is the card's own information field size (TA3 of its ATR); `ifsd`
  // is what it assumes of the interface device until an S(IFS request).
  T1Engine(std::uint8_t ifsc, std::uint8_t ifsd);

  // Back to the state after the ATR: N(S) 0 both ways, no chain, the initial sizes.
  void Reset();

  // One block from the interface device; the card's answering block, or
  // nothing when a scripted silence swallows it or the service gives no
  // answer to a command.
  std::optional<Bytes> Exchange(std::span<const std::uint8_t> block, std::deque<T1Fault>& faults,
                                ApduService& service);

  std::uint8_t Ifsc() const { return ifsc_; }
  std::uint8_t Ifsd() const { return ifsd_; }

 private:
  // What an abort of the card's own S(ABORT request) winds back to: the
  // state before the block whose answer the request stood in for.
  struct Rollback {
    std::uint8_t expected = 0;
    std::uint8_t nextSend = 0;
    Bytes lastIBlock;
  };

  t1::CardView View() const;
  std::optional<Bytes> Carry(t1::Action action, const t1::ParsedBlock& block, ApduService& service,
                             Rollback& before);
  Bytes TakeSResponse(Rollback& before);
  Bytes ApplySendFault(Bytes out, std::deque<T1Fault>& faults, const Rollback& before);
  void Keep(std::span<const std::uint8_t> inf);
  Bytes NextChunk();
  Bytes Remember(Bytes block);
  void DropChains();

  std::uint8_t initialIfsc_;
  std::uint8_t initialIfsd_;
  std::uint8_t ifsc_ = 0;
  std::uint8_t ifsd_ = 0;
  std::uint8_t nad_ = 0;       // NAD of the card's blocks, from the last readable block received
  std::uint8_t expected_ = 0;  // N(S) of the interface device's next I-block
  std::uint8_t nextSend_ = 0;  // N(S) of the card's next I-block

  Bytes command_;              // the command chain received so far
  bool commandOverflow_ = false;
  Bytes response_;             // the answer being sent in chained I-blocks
  std::size_t responseOffset_ = 0;
  bool sendingChain_ = false;

  Bytes lastBlock_;            // the last block sent that was not an error R-block
  Bytes lastIBlock_;

  bool awaitingResponse_ = false;
  std::uint8_t requestType_ = 0;
  std::uint8_t requestInf_ = 0;
  Bytes owed_;                 // the block the S-request stood in for
  Bytes owedLast_;             // lastBlock_ as that block left it
  Rollback owedBefore_;
};

}  // namespace emu
