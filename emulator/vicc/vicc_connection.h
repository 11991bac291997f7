// One connection from vicc: the APDU service behind a card that the
// listener inserts. Commands are exchanged from whichever thread the reader
// runs the card in (with the reader's mutex held), one at a time; every
// exchange waits at most `replyBound` for vicc's answer.
//
// Any fault ends the connection for good: an answer that does not come in
// time, a message of length 0, a response shorter than SW1 SW2, a failed
// read or write. The card is then mute (no answer to anything), and the
// connection is shut down so that the listener notices and removes the card.
#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <span>

#include "emulator/card/apdu_service.h"
#include "emulator/vicc/socket_io.h"

namespace emu::vicc {

class ViccConnection : public ApduService {
 public:
  // `socket` is connected and prepared (PrepareConnection).
  ViccConnection(UniqueFd socket, std::chrono::milliseconds replyBound);

  int Fd() const { return fd_; }

  // Asks for the ATR (control 04) and checks its length; nothing on a fault.
  std::optional<Bytes> RequestAtr();

  // ApduService
  void PowerOn(bool warm) override;
  void PowerOff() override;
  std::optional<ResponseApdu> AnswerCommand(const CommandApdu& command) override;
  std::optional<Bytes> AnswerApdu(std::span<const std::uint8_t> apdu) override;

  bool Broken() const;

  // What the listener does when the descriptor shows data or a hang-up: after
  // any exchange in progress, anything still there is a message vicc sent of
  // its own accord, or the end of the connection. False when the connection
  // has ended (or just broke for that reason).
  bool StillUsable();

  // Wakes an exchange in progress and fails the ones after it; safe from
  // any thread at any time.
  void Shutdown();

  // Shuts the connection down and closes its descriptor after any exchange
  // in progress. Only the listener's thread calls this (it polls the descriptor).
  void Close();

 private:
  // With ioMu_ held.
  std::optional<Bytes> Exchange(std::span<const std::uint8_t> payload, bool answered);

  const std::chrono::milliseconds replyBound_;
  mutable std::mutex ioMu_;    // one exchange at a time
  mutable std::mutex fdMu_;    // fd_ against Shutdown from other threads
  UniqueFd socket_;
  int fd_ = -1;
  bool broken_ = false;        // guarded by fdMu_
};

}  // namespace emu::vicc
