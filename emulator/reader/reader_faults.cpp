// What tests script into the reader (faults, silence, a disabled port) and
// what they read back (queued replies, counters, the frame logs).
#include <algorithm>
#include <utility>

#include "emulator/reader/reader.h"

namespace emu {

void Reader::ScriptFault(ReplyFault fault) {
  std::lock_guard lock(mu_);
  if (fault.at != 0) fault.at += counters_.framesReceived;
  // Kept in the order of the frames they wait for; those for the next frame first.
  auto later = std::upper_bound(faults_.begin(), faults_.end(), fault.at,
                                [](std::uint32_t at, const ReplyFault& queued) { return at < queued.at; });
  faults_.insert(later, std::move(fault));
}

bool Reader::ScriptCardFault(T1Fault fault) {
  std::lock_guard lock(mu_);
  if (!card_) return false;
  card_->ScriptT1Fault(std::move(fault));
  return true;
}

std::size_t Reader::PendingFaults() const {
  std::lock_guard lock(mu_);
  return faults_.size();
}

void Reader::FailNextBulkOut(usb::TransferFailure failure) {
  std::lock_guard lock(mu_);
  failNextOut_ = failure;
}

void Reader::FailNextBulkIn(usb::TransferFailure failure) {
  std::lock_guard lock(mu_);
  failNextIn_ = failure;
}

void Reader::ReleaseWithheldReply() {
  bool released = false;
  {
    std::lock_guard lock(mu_);
    released = replies_.ReleaseWithheld();
  }
  if (released) Wake();
}

void Reader::GoSilentFromFrame(std::uint32_t nth) {
  std::lock_guard lock(mu_);
  silentFrom_ = nth;
}

bool Reader::SilentLocked() const { return silentFrom_ != 0 && counters_.framesReceived >= silentFrom_; }

void Reader::DisablePort() {
  std::lock_guard lock(mu_);
  portDisabled_ = true;
}

void Reader::SetZeroLengthWhenIdle(bool enabled) {
  std::lock_guard lock(mu_);
  zeroLengthWhenIdle_ = enabled;
}

std::size_t Reader::QueuedReplies() const {
  std::lock_guard lock(mu_);
  return replies_.Size();
}

ReaderCounters Reader::Counters() const {
  std::lock_guard lock(mu_);
  return counters_;
}

std::vector<FrameRecord> Reader::FramesReceived() const {
  std::lock_guard lock(mu_);
  return {received_.begin(), received_.end()};
}

std::vector<FrameRecord> Reader::RepliesSent() const {
  std::lock_guard lock(mu_);
  return {sent_.begin(), sent_.end()};
}

void Reader::ClearLog() {
  std::lock_guard lock(mu_);
  received_.clear();
  sent_.clear();
}

}  // namespace emu
