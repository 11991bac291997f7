// The card's decision on one received T=1 block: block and state in, action
// out (ISO/IEC 7816-3 clause 11.6). The engine carries the action out.
#pragma once

#include <cstdint>

#include "emulator/card/t1_block.h"

namespace emu::t1 {

// The part of the card's T=1 state that decides what a block means.
struct CardView {
  std::uint8_t expected = 0;     // N(S) the card accepts in the interface device's next I-block
  std::uint8_t nextSend = 0;     // N(S) of the card's next I-block
  bool sendingChain = false;     // the card's last I-block had M set and awaits its acknowledgement
  enum class Last : std::uint8_t {
    Nothing,  // the card has sent nothing since the reset
    IBlock,   // an I-block; its N(S) is nextSend ^ 1
    Other,    // an R-block acknowledging a chained I-block, or an S-block
  };
  Last last = Last::Nothing;     // the last block other than an error R-block
  bool awaitingResponse = false; // the card sent an S-request and waits for its response
  std::uint8_t requestType = 0;  // its type, 0 to 3
  std::uint8_t requestInf = 0;   // its INF (IFS and WTX)
};

enum class Action : std::uint8_t {
  RejectEdc,        // R-block with error code 1, N(R) = expected
  RejectOther,      // R-block with error code 2, N(R) = expected
  TakeChainedI,     // keep the INF, acknowledge with R(N(R)) for the next one
  TakeLastI,        // keep the INF, run the command, send the first block of the answer
  SendNextChunk,    // the card's chained I-block was acknowledged
  RepeatLastI,      // send the card's last I-block again
  RepeatLast,       // send the last block (not an error R-block) again
  Resynchronise,    // S(RESYNCH response), N(S) 0 both ways
  AnswerIfs,        // adopt INF as IFSD, S(IFS response)
  AnswerAbort,      // drop both chains, S(ABORT response)
  TakeSResponse,    // the interface device answered the card's own S-request
};

Action Evaluate(const ParsedBlock& block, const CardView& view);

}  // namespace emu::t1
