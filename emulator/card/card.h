// An emulated smart card as the reader's contacts see it: an ATR, a T=0
// character engine, a T=1 block engine (ISO/IEC 7816-3) and behind both an
// APDU service: the card's own small ISO/IEC 7816-4 application, or one
// given at construction (a card emulator elsewhere).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "emulator/card/apdu_service.h"
#include "emulator/card/application.h"
#include "emulator/card/bytes.h"
#include "emulator/card/t0.h"
#include "emulator/card/t1_engine.h"

namespace emu {

// What builds the ATR (ISO/IEC 7816-3 clause 8). Unset optionals are absent bytes.
struct AtrRecipe {
  bool t0 = true;                   // offers T=0
  bool t1 = true;                   // offers T=1
  std::optional<std::uint8_t> ta1;  // FI/DI
  std::optional<std::uint8_t> tb3;  // BWI (high nibble) / CWI
  std::optional<std::uint8_t> ta3;  // IFSC of the card
  Bytes historical;                 // historical bytes
  bool tck = true;                  // append TCK when a protocol other than T=0 is announced
};

// Builds the ATR bytes for an AtrRecipe, TCK computed. The TD bytes name T=0 before
// T=1; TA3 and TB3 are reached through TD2, which names T=1 when T=1 is
// offered. At most 15 historical bytes are kept (K is four bits).
Bytes BuildAtr(const AtrRecipe& atr);

// One scripted misbehaviour of the card's T=1 side, consumed by the next
// block the card would send (or, for Silence, the next block it receives).
// Faults are used strictly in order.
// - BadLrc, WrongSequence and Garbage spoil the answer on the wire only: the
//   card keeps the correct block and sends that one when asked to repeat.
//   WrongSequence waits at the front of the queue for the card's next I-block.
// - RBlock and Silence act as if the received block had not arrived intact:
//   the card's state does not move. The R-block's N(R) is the N(S) the card
//   still expects.
// - SRequest stands in for the answer, which the card sends once the
//   interface device has answered the request (WTX, IFS; after IFS the card's
//   IFSC is the request's INF). After S(ABORT response) the card forgets the
//   chain, winds its sequence numbers back to before the aborted block and
//   hands the turn back with an R-block. RESYNCH and ABORT requests carry no INF.
struct T1Fault {
  enum class Kind {
    BadLrc,         // the next block goes out with a wrong check byte
    WrongSequence,  // the next I-block carries the wrong N(S)
    RBlock,         // instead of its answer, the card sends an R-block with `value` as error code (0..3)
    SRequest,  // instead of its answer, the card sends an S-request: `value` is the type (0 RESYNCH, 1 IFS, 2 ABORT, 3
               // WTX), `inf` its INF byte
    Silence,   // the card does not answer the next block at all
    Garbage,   // the card sends these raw bytes instead (`raw`)
    Corrupt,   // the next block the card receives arrives with a wrong check byte
  };
  Kind kind = Kind::BadLrc;
  std::uint8_t value = 0;
  std::uint8_t inf = 0;
  Bytes raw;
  std::uint32_t at = 0;  // 0: queued at once
};

struct CardConfig {
  AtrRecipe atr;
  std::optional<Bytes> atrOverride;        // raw ATR bytes, used as they are (for malformed ATRs)
  std::uint8_t ifsd = 32;                  // what the card assumes of the interface device until told otherwise
  std::uint32_t fileSize = 1024;           // the one transparent EF (READ/UPDATE BINARY)
  std::uint32_t t0NullProcedureBytes = 0;  // NULL procedure bytes before every T=0 answer
};

// The answer of the T=0 side to one TPDU (CLA INS P1 P2 P3 [data]).
struct T0Answer {
  Bytes response;                        // response data followed by SW1 SW2
  std::uint32_t nullProcedureBytes = 0;  // 0x60 bytes the card sends first to ask for more time
};

// The answers of TransmitT0, ExchangeT1Block and TransmitApdu may be
// replaced by a derived card (the fuzzers' hostile card).
class Card {
 public:
  explicit Card(CardConfig config = {});
  // A card whose commands are answered by `service` instead of its own
  // application; power on, reset and power off reach the service too.
  Card(CardConfig config, std::shared_ptr<ApduService> service);
  virtual ~Card() = default;
  Card(const Card&) = default;
  Card& operator=(const Card&) = default;

  const CardConfig& Config() const { return config_; }

  // Cold or warm reset: the card is powered and answers with its ATR; the T=1
  // state returns to its start (N(S) 0 both ways, IFSD from the config,
  // IFSC from TA3 or 32), the MF is selected again. The EF keeps its content.
  Bytes Reset(bool warm);
  void PowerOff();
  bool Powered() const { return powered_; }
  Bytes Atr() const;

  // T=0: one command TPDU as the reader hands it to the card. An unpowered
  // card, or one whose service gave no answer, answers nothing (an empty response).
  virtual T0Answer TransmitT0(std::span<const std::uint8_t> tpdu);

  // T=1: one block from the interface device (NAD PCB LEN INF LRC); the
  // card's answering block, or nothing when it stays silent or is unpowered.
  // The card's NAD swaps the SAD and DAD of what it received: 0x52 -> 0x25.
  virtual std::optional<Bytes> ExchangeT1Block(std::span<const std::uint8_t> block);

  // The whole APDU at once (old-generation readers run T=1 themselves); the
  // response data are at most Ne bytes. Empty when unpowered or when the
  // service gave no answer.
  virtual Bytes TransmitApdu(std::span<const std::uint8_t> apdu);

  // Queue scripted faults of the T=1 side, used in order (those with `at`
  // once their block has come).
  void ScriptT1Fault(T1Fault fault);
  std::size_t PendingT1Faults() const { return t1Faults_.size() + t1Scheduled_.size(); }

  // What the card received and sent on its T=1 side, block by block.
  const std::vector<Bytes>& T1BlocksReceived() const { return t1Received_; }
  const std::vector<Bytes>& T1BlocksSent() const { return t1Sent_; }

  // The content of the own application's transparent file (for tests).
  const Bytes& File() const { return app_.File(); }

  // The information field sizes the T=1 side works with now.
  std::uint8_t T1Ifsc() const { return t1_.Ifsc(); }
  std::uint8_t T1Ifsd() const { return t1_.Ifsd(); }

 private:
  ApduService& Service() { return remote_ ? *remote_ : app_; }
  // Arms the scheduled faults whose block this is; the block as it reaches
  // the card (damaged on its way by a Corrupt fault).
  std::span<const std::uint8_t> TakeReceiveFaults(std::span<const std::uint8_t> block);

  CardConfig config_;
  std::shared_ptr<ApduService> remote_;
  bool powered_ = false;
  std::deque<T1Fault> t1Faults_;
  std::deque<T1Fault> t1Scheduled_;  // by the number of the block that arms them (in `at`)
  Bytes t1Damaged_;
  std::vector<Bytes> t1Received_;
  std::vector<Bytes> t1Sent_;
  Application app_;
  T0Engine t0_;
  T1Engine t1_;
};

}  // namespace emu
