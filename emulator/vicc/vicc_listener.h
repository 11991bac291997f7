// The emulated reader's side of vsmartcard's virtual reader protocol: it
// listens on 127.0.0.1 for the card emulator vicc (`vicc --hostname
// 127.0.0.1 --port N`). A connection is a card inserted into the reader, with
// the ATR vicc gives; the card runs the card side of T=0 or T=1 itself and
// exchanges whole APDUs with vicc. The connection ending is the card removed.
// One connection at a time: a second one is closed at once.
//
// Real time only: vicc answers on a socket, and a socket wait is not a wait
// on the platform's clock, so simulated time would run ahead of (or stop
// for) an answer that is still on its way. Each answer is awaited at most
// `replyBound` (5 s by default); a vicc that does not answer in time is
// treated as gone: the command gets no answer and the card is removed.
//
// The reader must outlive the listener. The destructor stops listening,
// closes the connection (removing its card) and joins the thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "emulator/card/card.h"
#include "emulator/reader/reader.h"
#include "emulator/vicc/socket_io.h"
#include "emulator/vicc/vicc_connection.h"

namespace emu {

struct ViccStats {
  std::uint32_t insertions = 0;  // connections that gave an ATR and became a card
  std::uint32_t removals = 0;    // cards removed because their connection ended
  std::uint32_t refused = 0;     // second connections, and connections without a usable ATR
};

class ViccListener {
 public:
  static constexpr std::chrono::milliseconds kDefaultReplyBound{5000};

  // Port 0 picks a free port. When the port cannot be had, the listener
  // does nothing: Listening() is false and Error() says why.
  ViccListener(Reader& reader, std::uint16_t port, std::chrono::milliseconds replyBound = kDefaultReplyBound);
  ~ViccListener();
  ViccListener(const ViccListener&) = delete;
  ViccListener& operator=(const ViccListener&) = delete;

  std::uint16_t Port() const { return port_; }
  bool Listening() const { return thread_.joinable(); }
  const std::string& Error() const { return error_; }

  ViccStats Stats() const;
  // Waits until `done` holds for the statistics, at most `bound`; whether it holds.
  bool WaitFor(const std::function<bool(const ViccStats&)>& done, std::chrono::milliseconds bound) const;

 private:
  bool Open(std::uint16_t port);
  void Run();
  void Accept();
  void Drop();
  void Count(std::uint32_t ViccStats::*counter);

  Reader& reader_;
  const std::chrono::milliseconds replyBound_;
  vicc::UniqueFd listen_;
  vicc::UniqueFd wake_;
  std::uint16_t port_ = 0;
  std::string error_;

  mutable std::mutex mu_;
  mutable std::condition_variable changed_;
  bool stopping_ = false;
  std::shared_ptr<vicc::ViccConnection> connection_;
  std::shared_ptr<Card> card_;
  ViccStats stats_;

  std::thread thread_;
};

}  // namespace emu
