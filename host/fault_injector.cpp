#include "host/fault_injector.h"

#include <algorithm>

#include "platform/kernel/platform.h"

namespace host {
namespace {

emu::T1Fault CardFault(const FaultRequest& request) {
  using Kind = emu::T1Fault::Kind;
  emu::T1Fault fault;
  fault.value = static_cast<std::uint8_t>(request.value);
  fault.inf = request.inf;
  fault.raw = request.raw;
  switch (request.kind) {
    case FaultKind::WrongSequence:
      fault.kind = Kind::WrongSequence;
      break;
    case FaultKind::RBlock:
      fault.kind = Kind::RBlock;
      break;
    case FaultKind::SRequest:
      fault.kind = Kind::SRequest;
      break;
    case FaultKind::Silence:
      fault.kind = Kind::Silence;
      break;
    case FaultKind::Garbage:
      fault.kind = Kind::Garbage;
      break;
    case FaultKind::CorruptReceived:
      fault.kind = Kind::Corrupt;
      break;
    default:
      fault.kind = Kind::BadLrc;
      break;
  }
  return fault;
}

emu::ReplyFault ReaderFault(const FaultRequest& request) {
  switch (request.kind) {
    case FaultKind::Split:
      return emu::ReplyFault::Split(request.sizes);
    case FaultKind::Delay:
      return emu::ReplyFault::Delay(static_cast<usb::DeviceTime>(request.value) * kernel::kMillisecond);
    case FaultKind::Withhold:
      return emu::ReplyFault::Withhold();
    case FaultKind::BadCheckByte:
      return emu::ReplyFault::BadCheckByte();
    case FaultKind::ErrorReply:
      return emu::ReplyFault::ErrorReply();
    case FaultKind::Oversized:
      return emu::ReplyFault::Oversized(request.value);
    case FaultKind::Truncate:
      return emu::ReplyFault::Truncate(request.value);
    default:
      return emu::ReplyFault::NoReply();
  }
}

bool IsCardFault(FaultKind kind) { return kind <= FaultKind::CorruptReceived; }
bool IsUsbFault(FaultKind kind) { return kind == FaultKind::UsbStall || kind == FaultKind::UsbError; }

}  // namespace

FaultInjector::~FaultInjector() {
  std::lock_guard lock(mu_);
  if (hooked_) reader_.Port().SetTransferHook(nullptr);
}

bool FaultInjector::Apply(const FaultRequest& fault, std::string* error) {
  if (IsUsbFault(fault.kind)) {
    // A stall is what the stack reports for a halted endpoint; an error, a device that stopped answering.
    const usb::TransferFailure failure =
        fault.kind == FaultKind::UsbStall
            ? usb::TransferFailure{}
            : usb::TransferFailure{STATUS_IO_DEVICE_ERROR, USBD_STATUS_DEV_NOT_RESPONDING};
    std::lock_guard lock(mu_);
    if (!hooked_) {
      reader_.Port().SetTransferHook([this](std::uint32_t, bool in) { return BeforeTransfer(in); });
      hooked_ = true;
    }
    const std::uint32_t first = transfers_[fault.in] + std::max<std::uint32_t>(fault.at, 1);
    for (std::uint32_t i = 0; i < fault.count; ++i) planned_.push_back(Planned{fault.in, first + i, failure});
    return true;
  }
  const std::shared_ptr<emu::Reader>& reader = reader_.SharedReader();
  if (!reader) {
    *error = "a physical reader takes USB faults only";
    return false;
  }
  for (std::uint32_t i = 0; i < fault.count; ++i) {
    const std::uint32_t at = fault.at == 0 ? 0 : fault.at + i;
    if (IsCardFault(fault.kind)) {
      emu::T1Fault card = CardFault(fault);
      card.at = at;
      if (!reader->ScriptCardFault(std::move(card))) {
        *error = "no card in the reader";
        return false;
      }
    } else {
      emu::ReplyFault reply = ReaderFault(fault);
      reply.at = at;
      reader->ScriptFault(std::move(reply));
    }
  }
  return true;
}

std::optional<usb::TransferFailure> FaultInjector::BeforeTransfer(bool in) {
  std::lock_guard lock(mu_);
  const std::uint32_t number = ++transfers_[in];
  auto planned = std::find_if(planned_.begin(), planned_.end(),
                              [&](const Planned& p) { return p.in == in && p.number == number; });
  if (planned == planned_.end()) return std::nullopt;
  const usb::TransferFailure failure = planned->failure;
  planned_.erase(planned);
  return failure;
}

}  // namespace host
