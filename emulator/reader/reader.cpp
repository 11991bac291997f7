// The USB side of the reader: descriptors, configuration, the port, bulk
// transfers and frame assembly. The card slot is reader_slot.cpp, faults
// and what tests read back reader_faults.cpp.
#include "emulator/reader/reader.h"

#include <algorithm>
#include <utility>

#include "emulator/reader/atr_protocols.h"
#include "emulator/reader/descriptors.h"

namespace emu {
namespace {

constexpr std::uint8_t kDeviceDescriptorType = 0x01;
constexpr std::uint8_t kConfigurationDescriptorType = 0x02;

// What a transfer to a disabled port ends with: the device does not answer.
constexpr usb::TransferFailure kPortDisabledFailure{STATUS_UNSUCCESSFUL,
                                                    NTSTATUS_VALUE(0xC0000005)};  // USBD_STATUS_DEV_NOT_RESPONDING
// A transfer to an endpoint the interface does not have is stalled.
constexpr usb::TransferFailure kNoEndpointFailure{STATUS_UNSUCCESSFUL,
                                                  NTSTATUS_VALUE(0xC0000004)};  // USBD_STATUS_STALL_PID

usb::OutResult FailedOut(const usb::TransferFailure& failure, DeviceTime now) {
  usb::OutResult r;
  r.failed = true;
  r.failure = failure;
  r.completeAt = now;
  return r;
}

usb::InResult FailedIn(const usb::TransferFailure& failure, DeviceTime now) {
  usb::InResult r;
  r.kind = usb::InResult::Kind::Failed;
  r.failure = failure;
  r.completeAt = now;
  return r;
}

}  // namespace

Reader::Reader(ReaderConfig config)
    : config_(std::move(config)),
      native_(emu::NativeGeneration(config_.firmwareVersion)),
      deviceDescriptor_(BuildDeviceDescriptor(config_)),
      configurationDescriptor_(BuildConfigurationDescriptor(config_)),
      endpoints_(InterfaceEndpoints(config_)) {}

std::vector<std::uint8_t> Reader::GetDescriptor(std::uint8_t type, std::uint8_t index) {
  if (type == kDeviceDescriptorType && index == 0) return deviceDescriptor_;
  if (type == kConfigurationDescriptorType && index == 0) return configurationDescriptor_;
  return {};  // no strings, one configuration: anything else is stalled
}

void Reader::SetConfiguration(std::uint8_t configurationValue) {
  std::lock_guard lock(mu_);
  // USB 2.0 clause 9.4.7: only 0 and the value of an existing configuration
  // are valid; a device stalls the others and keeps its state.
  if (configurationValue == 0 || configurationValue == kConfigurationValue) configuration_ = configurationValue;
}

bool Reader::HasEndpoint(std::uint8_t address) const {
  return std::find(endpoints_.begin(), endpoints_.end(), address) != endpoints_.end();
}

usb::OutResult Reader::BulkOut(std::uint8_t endpointAddress, std::span<const std::uint8_t> data, DeviceTime now) {
  std::lock_guard lock(mu_);
  ++counters_.outTransfers;
  const bool unconfigured = config_.strictConfiguration && configuration_ == 0;
  if (endpointAddress != kBulkOutEndpoint || !HasEndpoint(endpointAddress) || unconfigured) {
    ++counters_.failedTransfers;
    return FailedOut(kNoEndpointFailure, now);
  }
  if (portDisabled_) {
    ++counters_.failedTransfers;
    return FailedOut(kPortDisabledFailure, now);
  }
  if (failNextOut_) {
    const usb::TransferFailure failure = *failNextOut_;
    failNextOut_.reset();
    ++counters_.failedTransfers;
    return FailedOut(failure, now);
  }
  usb::OutResult result;
  result.completeAt = now + config_.timing.usbLatency;
  if (data.empty()) {
    // The host ends a frame whose length is a multiple of the packet size
    // with a zero-length packet (USB 2.0 clause 5.8.3); it carries nothing.
    ++counters_.zeroLengthOuts;
    return result;
  }
  AcceptBytes(data, now);
  return result;
}

usb::InResult Reader::BulkIn(std::uint8_t endpointAddress, std::uint32_t maxLength, DeviceTime now) {
  std::lock_guard lock(mu_);
  ++counters_.inTransfers;
  const bool unconfigured = config_.strictConfiguration && configuration_ == 0;
  if (!HasEndpoint(endpointAddress) || (endpointAddress & 0x80) == 0 || unconfigured) {
    ++counters_.failedTransfers;
    return FailedIn(kNoEndpointFailure, now);
  }
  if (portDisabled_) {
    ++counters_.failedTransfers;
    return FailedIn(kPortDisabledFailure, now);
  }
  if (endpointAddress == kInterruptInEndpoint) {
    // The extra interrupt endpoint exists for hostile interfaces only and
    // never has anything to say.
    ++counters_.inNaks;
    return usb::InResult{};
  }
  if (failNextIn_) {
    const usb::TransferFailure failure = *failNextIn_;
    failNextIn_.reset();
    ++counters_.failedTransfers;
    return FailedIn(failure, now);
  }
  ExpirePartialFrame(now);
  usb::InResult result = replies_.Take(maxLength, now, config_.timing.usbLatency, zeroLengthWhenIdle_);
  if (result.kind == usb::InResult::Kind::NotReady) {
    ++counters_.inNaks;
    if (!partial_.empty()) {
      result.readyAt = std::min(result.readyAt, partialSince_ + config_.timing.frameAssemblyTimeout);
    }
  }
  return result;
}

void Reader::AbortEndpoint(std::uint8_t endpointAddress) {
  std::lock_guard lock(mu_);
  if (endpointAddress == kBulkInEndpoint) replies_.DropWithheld();
  if (endpointAddress == kBulkOutEndpoint) partial_.clear();
}

usb::PortStatus Reader::GetPortStatus() {
  std::lock_guard lock(mu_);
  return usb::PortStatus{true, !portDisabled_};
}

void Reader::ResetPort() {
  std::lock_guard lock(mu_);
  ++counters_.portResets;
  // A bus reset returns the device to its default state (USB 2.0 clause
  // 9.1.1.3): unconfigured, buffers empty, and this reader also powers the
  // card down and forgets its set-up.
  portDisabled_ = false;
  configuration_ = 0;
  PowerDownCard();
  setUp_ = false;
  setUpArmed_ = false;
  partial_.clear();
  replies_.Clear();
  transfer_ = OldTransfer{};
}

void Reader::AcceptBytes(std::span<const std::uint8_t> data, DeviceTime now) {
  ExpirePartialFrame(now);
  if (partial_.empty()) partialSince_ = now;
  partial_.insert(partial_.end(), data.begin(), data.end());
  const FrameShape shape = ClassifyFrame(partial_, mode_);
  if (shape.kind == FrameShape::Kind::NeedMore) return;
  if (shape.kind == FrameShape::Kind::Refused) {
    // The rest of the transfer belongs to the refused frame.
    TakeFrame(partial_, shape.error, now);
    partial_.clear();
    return;
  }
  if (partial_.size() < shape.length) return;
  counters_.bytesDiscarded += static_cast<std::uint32_t>(partial_.size() - shape.length);
  // Nothing a frame does touches the assembly buffer, which keeps its room
  // for the next frame.
  TakeFrame(std::span(partial_).first(shape.length), std::nullopt, now);
  partial_.clear();
}

void Reader::ExpirePartialFrame(DeviceTime now) {
  if (partial_.empty()) return;
  const DeviceTime expiry = partialSince_ + config_.timing.frameAssemblyTimeout;
  if (now < expiry) return;
  ++counters_.framesReceived;
  Log(received_, expiry, partial_);
  if (SilentLocked()) {
    partial_.clear();
    return;
  }
  Enqueue(ErrorReply(partial_, ErrorCode::BadLength, expiry));
  partial_.clear();
}

void Reader::TakeFrame(std::span<const std::uint8_t> frame, std::optional<ErrorCode> refusal, DeviceTime now) {
  ++counters_.framesReceived;
  Log(received_, now, frame);
  if (SilentLocked()) return;
  std::optional<ReplyFault> fault;
  if (!faults_.empty() && faults_.front().at <= counters_.framesReceived) {
    fault = std::move(faults_.front());
    faults_.pop_front();
    ++counters_.faultsUsed;
  }
  if (fault && fault->kind == ReplyFault::Kind::NoReply) return;

  const bool oldCardFrame = frame[0] == kOldT0CardType || frame[0] == kOldT1CardType;
  const DeviceTime readyAt = now + config_.timing.usbLatency;
  Replies out;
  if (fault && fault->kind == ReplyFault::Kind::ErrorReply) {
    // As if the frame had been damaged on its way to the reader.
    out.push_back(ErrorReply(frame, ErrorCode::BadCheckByte, readyAt));
    if (oldCardFrame) transfer_ = OldTransfer{TransferState::Failed, {}, 0, 0};
  } else if (refusal) {
    out.push_back(ErrorReply(frame, *refusal, readyAt));
    if (oldCardFrame) transfer_ = OldTransfer{TransferState::Failed, {}, 0, 0};
  } else {
    out = Handle(frame, now);
  }
  if (fault && !out.empty()) ApplyFault(*fault, out.back());
  for (QueuedReply& reply : out) Enqueue(std::move(reply));
}

void Reader::Enqueue(QueuedReply reply) {
  const DeviceTime readyAt = reply.readyAt;
  Bytes logged = config_.frameLog ? reply.bytes : Bytes{};
  if (!replies_.Push(std::move(reply))) {
    ++counters_.repliesLost;
    return;
  }
  ++counters_.repliesQueued;
  Log(sent_, readyAt, logged);
}

void Reader::Log(std::deque<FrameRecord>& log, DeviceTime time, std::span<const std::uint8_t> bytes) {
  if (!config_.frameLog) return;
  if (log.size() >= kLogCapacity) log.pop_front();
  log.push_back(FrameRecord{time, Bytes(bytes.begin(), bytes.end())});
}

}  // namespace emu
