// The emulated reader: a USB device with one vendor-specific interface and two
// bulk pipes that speaks the reader's frame protocol in both generations and
// carries card commands to an emulated card.
//
// Every request frame gets exactly one reply frame (T=0 exchanges also one
// frame per NULL procedure byte; a silent card none), queued for bulk IN
// and delivered over as many IN transfers as the host's requests need, never
// two frames in one transfer.
//
// Thread-safe: the bus driver calls in from several threads and tests insert
// cards from their own. Nothing here reads a clock: every time comes in as a
// parameter.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "emulator/card/card.h"
#include "emulator/reader/frame.h"
#include "emulator/reader/reader_config.h"
#include "emulator/reader/reply_queue.h"
#include "platform/usb/usb_function.h"

namespace emu {

struct FrameRecord {
  DeviceTime time = 0;  // received: when the frame was complete; reply: when it is ready
  Bytes bytes;
};

struct ReaderCounters {
  std::uint32_t outTransfers = 0;
  std::uint32_t zeroLengthOuts = 0;
  std::uint32_t inTransfers = 0;
  std::uint32_t inNaks = 0;
  std::uint32_t failedTransfers = 0;
  std::uint32_t framesReceived = 0;
  std::uint32_t repliesQueued = 0;
  std::uint32_t errorReplies = 0;
  std::uint32_t repliesLost = 0;      // the reply queue was full
  std::uint32_t bytesDiscarded = 0;   // bytes behind a complete or refused frame in its transfer
  std::uint32_t cardResets = 0;
  std::uint32_t ejects = 0;
  std::uint32_t portResets = 0;
  std::uint32_t faultsUsed = 0;
};

// State of the card frame an old-generation reader runs itself (types 0x50
// and 0x51), as the transfer-status command reports it.
enum class TransferState : std::uint8_t {
  Started = 0,   // not yet polled
  Busy = 1,      // the card is working
  Answered = 2,  // the answer waits for the transfer-result command
  Failed = 3,    // the card went away before it answered
  None = 4,      // no card frame since power-on or the last port reset
};

class Reader : public usb::UsbFunction {
 public:
  explicit Reader(ReaderConfig config = {});

  // usb::UsbFunction
  std::vector<std::uint8_t> GetDescriptor(std::uint8_t type, std::uint8_t index) override;
  void SetConfiguration(std::uint8_t configurationValue) override;
  usb::OutResult BulkOut(std::uint8_t endpointAddress, std::span<const std::uint8_t> data,
                         DeviceTime now) override;
  usb::InResult BulkIn(std::uint8_t endpointAddress, std::uint32_t maxLength, DeviceTime now) override;
  void AbortEndpoint(std::uint8_t endpointAddress) override;
  usb::PortStatus GetPortStatus() override;
  void ResetPort() override;

  // Cards: inserted unpowered (unless the configuration activates on insert);
  // removal powers the card down.
  void InsertCard(std::shared_ptr<Card> card);
  void RemoveCard();
  // Removes `card` only if it is still the one inserted: a card that went
  // away on its own (a card emulator disconnected) leaves a card inserted
  // since then alone.
  void RemoveCard(const std::shared_ptr<Card>& card);
  std::shared_ptr<Card> CurrentCard() const;

  // Scripted faults, consumed in order by the next request frames (or by
  // the frame their `at` names).
  void ScriptFault(ReplyFault fault);
  std::size_t PendingFaults() const;
  // A T=1 fault for the card inserted now, scripted under the reader's lock
  // (the card is exchanging on other threads); false when there is no card.
  bool ScriptCardFault(T1Fault fault);
  // The next bulk transfer in that direction fails.
  void FailNextBulkOut(usb::TransferFailure failure = {});
  void FailNextBulkIn(usb::TransferFailure failure = {});
  void ReleaseWithheldReply();
  // From the nth request frame on (counting every frame taken since the
  // reader was made, 1 = the first), the reader hangs: it neither acts on a
  // frame nor answers it. 0 ends the silence.
  void GoSilentFromFrame(std::uint32_t nth);
  // The port stays connected but disabled until the next port reset; bulk
  // transfers fail meanwhile.
  void DisablePort();
  // While no reply is ready, IN transfers complete with no data instead of
  // being NAKed.
  void SetZeroLengthWhenIdle(bool enabled);

  // What the reader is and holds now.
  const ReaderConfig& Config() const { return config_; }
  Generation NativeGeneration() const { return native_; }
  std::uint8_t StatusByte() const;
  CardFrameMode ProtocolMode() const;
  std::uint8_t Configuration() const;
  TransferState CurrentTransferState() const;
  // The last parameter byte of the 0xB0 and 0xD8 commands.
  std::optional<std::uint8_t> CommandB0Parameter() const;
  std::optional<std::uint8_t> CommandD8Parameter() const;
  // The parameter byte of the last card reset, absent when it had none.
  std::optional<std::uint8_t> LastResetParameter() const;
  std::size_t QueuedReplies() const;

  ReaderCounters Counters() const;
  // The most recent frames (at most kLogCapacity of each).
  std::vector<FrameRecord> FramesReceived() const;
  std::vector<FrameRecord> RepliesSent() const;
  void ClearLog();
  static constexpr std::size_t kLogCapacity = 1024;

 private:
  struct OldTransfer {
    TransferState state = TransferState::None;
    Bytes answer;
    DeviceTime doneAt = 0;
    std::uint32_t busyPollsLeft = 0;
  };
  using Replies = std::vector<QueuedReply>;

  // All below run with mu_ held.
  bool HasEndpoint(std::uint8_t address) const;
  void AcceptBytes(std::span<const std::uint8_t> data, DeviceTime now);
  void ExpirePartialFrame(DeviceTime now);
  void TakeFrame(std::span<const std::uint8_t> frame, std::optional<ErrorCode> refusal, DeviceTime now);
  Replies Handle(std::span<const std::uint8_t> frame, DeviceTime now);
  Replies HandleCommand(Generation generation, std::span<const std::uint8_t> frame, DeviceTime now);
  Replies HandleT0Frame(std::span<const std::uint8_t> frame, DeviceTime now);
  Replies HandleT1Block(std::span<const std::uint8_t> frame, DeviceTime now);
  Replies HandleOldCardFrame(std::span<const std::uint8_t> frame, DeviceTime now);
  QueuedReply ErrorReply(std::span<const std::uint8_t> frame, ErrorCode code, DeviceTime readyAt);
  QueuedReply CommandReply(Generation generation, std::uint8_t control, std::span<const std::uint8_t> info,
                           DeviceTime readyAt) const;
  void Enqueue(QueuedReply reply);
  // Powers or resets the card; returns the ATR.
  Bytes PowerUpCard(bool warm, std::optional<std::uint8_t> parameter);
  void PowerDownCard();
  std::uint8_t PollTransfer(DeviceTime now);
  std::uint8_t StatusLocked() const;
  bool SilentLocked() const;
  void Log(std::deque<FrameRecord>& log, DeviceTime time, std::span<const std::uint8_t> bytes);

  const ReaderConfig config_;
  const Generation native_;
  const std::vector<std::uint8_t> deviceDescriptor_;
  const std::vector<std::uint8_t> configurationDescriptor_;
  const std::vector<std::uint8_t> endpoints_;

  mutable std::mutex mu_;
  std::shared_ptr<Card> card_;
  CardFrameMode mode_ = CardFrameMode::None;
  bool setUp_ = false;
  bool setUpArmed_ = false;  // 0xD0 has been seen; 0x41 completes the set-up
  std::uint8_t configuration_ = 0;
  bool portDisabled_ = false;
  bool zeroLengthWhenIdle_ = false;
  std::optional<usb::TransferFailure> failNextOut_;
  std::optional<usb::TransferFailure> failNextIn_;
  std::deque<ReplyFault> faults_;
  std::uint32_t silentFrom_ = 0;
  std::optional<ReplyFault> activeFault_;
  Bytes partial_;
  DeviceTime partialSince_ = 0;
  ReplyQueue replies_;
  OldTransfer transfer_;
  std::optional<std::uint8_t> b0Parameter_;
  std::optional<std::uint8_t> d8Parameter_;
  std::optional<std::uint8_t> resetParameter_;
  Bytes lastAtr_;
  ReaderCounters counters_;
  std::deque<FrameRecord> received_;
  std::deque<FrameRecord> sent_;
};

}  // namespace emu
