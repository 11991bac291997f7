#include "emulator/reader/reply_queue.h"

#include <algorithm>
#include <utility>

namespace emu {
namespace {

constexpr std::uint8_t kFillerByte = 0xA5;

}  // namespace

ReplyFault ReplyFault::Split(std::vector<std::uint32_t> sizes) {
  ReplyFault f;
  f.kind = Kind::Split;
  f.sizes = std::move(sizes);
  return f;
}

ReplyFault ReplyFault::Delay(DeviceTime delay) {
  ReplyFault f;
  f.kind = Kind::Delay;
  f.delay = delay;
  return f;
}

ReplyFault ReplyFault::Withhold() {
  ReplyFault f;
  f.kind = Kind::Withhold;
  return f;
}

ReplyFault ReplyFault::BadCheckByte() {
  ReplyFault f;
  f.kind = Kind::BadCheckByte;
  return f;
}

ReplyFault ReplyFault::ErrorReply() {
  ReplyFault f;
  f.kind = Kind::ErrorReply;
  return f;
}

ReplyFault ReplyFault::Oversized(std::uint32_t announced) {
  ReplyFault f;
  f.kind = Kind::Oversized;
  f.length = announced & 0xFFFFFF;
  return f;
}

ReplyFault ReplyFault::Truncate(std::uint32_t keep) {
  ReplyFault f;
  f.kind = Kind::Truncate;
  f.length = keep;
  return f;
}

ReplyFault ReplyFault::NoReply() {
  ReplyFault f;
  f.kind = Kind::NoReply;
  return f;
}

void ApplyFault(const ReplyFault& fault, QueuedReply& reply) {
  switch (fault.kind) {
    case ReplyFault::Kind::Split:
      for (std::uint32_t size : fault.sizes) {
        if (size > 0) reply.splits.push_back(size);
      }
      break;
    case ReplyFault::Kind::Delay:
      reply.readyAt += std::max<DeviceTime>(fault.delay, 0);
      break;
    case ReplyFault::Kind::Withhold:
      reply.withheld = true;
      break;
    case ReplyFault::Kind::BadCheckByte:
      if (!reply.bytes.empty()) reply.bytes.back() ^= 0xFF;
      break;
    case ReplyFault::Kind::Oversized:
      reply.bytes = BuildOldFrame(kOldCommandType, {});
      reply.bytes[1] = static_cast<std::uint8_t>((fault.length >> 16) & 0xFF);
      reply.bytes[2] = static_cast<std::uint8_t>((fault.length >> 8) & 0xFF);
      reply.bytes[3] = static_cast<std::uint8_t>(fault.length & 0xFF);
      reply.fillerLength = fault.length;
      break;
    case ReplyFault::Kind::Truncate:
      if (fault.length < reply.bytes.size()) reply.bytes.resize(fault.length);
      reply.fillerLength = 0;
      break;
    case ReplyFault::Kind::ErrorReply:
    case ReplyFault::Kind::NoReply:
      break;
  }
}

bool ReplyQueue::Push(QueuedReply reply) {
  if (replies_.size() >= kCapacity) return false;
  replies_.push_back(std::move(reply));
  return true;
}

usb::InResult ReplyQueue::Take(std::uint32_t maxLength, DeviceTime now, DeviceTime latency,
                               bool zeroLengthWhenIdle) {
  usb::InResult result;
  // A truncated reply of no bytes at all never reaches the bus.
  while (!replies_.empty() && replies_.front().Total() == 0) replies_.pop_front();

  const bool ready = !replies_.empty() && !replies_.front().withheld && replies_.front().readyAt <= now;
  if (!ready || maxLength == 0) {
    if (ready || zeroLengthWhenIdle) {
      result.kind = usb::InResult::Kind::Data;
      result.completeAt = now + latency;
      return result;
    }
    result.kind = usb::InResult::Kind::NotReady;
    result.readyAt = (replies_.empty() || replies_.front().withheld) ? usb::kNever : replies_.front().readyAt;
    return result;
  }

  QueuedReply& reply = replies_.front();
  std::uint32_t count = std::min(maxLength, reply.Total() - reply.delivered);
  if (!reply.splits.empty()) {
    count = std::min(count, reply.splits.front());
    reply.splits.erase(reply.splits.begin());
  }
  result.kind = usb::InResult::Kind::Data;
  result.completeAt = now + latency;
  const auto head = static_cast<std::uint32_t>(reply.bytes.size());
  if (reply.delivered == 0 && reply.fillerLength == 0 && count == head) {
    // The whole reply in one transfer, as most go: handed over, not copied.
    result.data = std::move(reply.bytes);
    replies_.pop_front();
    return result;
  }
  result.data.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t at = reply.delivered + i;
    result.data.push_back(at < head ? reply.bytes[at] : kFillerByte);
  }
  reply.delivered += count;
  if (reply.delivered >= reply.Total()) replies_.pop_front();
  return result;
}

bool ReplyQueue::ReleaseWithheld() {
  bool released = false;
  for (QueuedReply& reply : replies_) {
    released = released || reply.withheld;
    reply.withheld = false;
  }
  return released;
}

void ReplyQueue::DropWithheld() {
  std::erase_if(replies_, [](const QueuedReply& r) { return r.withheld; });
}

}  // namespace emu
