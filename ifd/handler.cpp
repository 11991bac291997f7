// The IFD handler: pcscd's calls become requests on the driver, through the
// host side (the driver loaded through DriverEntry, readers plugged and
// started, handles opened through the reader interface).
#include "ifd/handler.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

#include "driver/public/driver.h"
#include "host/status_names.h"
#include "ifd/channel.h"
#include "ifd/log.h"
#include "ifd/signal_mask.h"
#include "ifd/status_mapping.h"
#include "driver/public/vendor_ioctl.h"
#include "platform/smclib/winsmcrd.h"

namespace ifd {
namespace {

// Readers one process may hold at once (TAG_IFD_SIMULTANEOUS_ACCESS).
constexpr unsigned char kMaxReaders = 16;
constexpr unsigned long kSlotMask = 0xFFFF;

// The channels and the host they share. The lock guards the members; it is
// never held while a reader starts or is removed, which takes real time, so
// that one reader's start or removal does not hold up the others' calls.
struct Registry {
  std::mutex lock;
  std::unique_ptr<host::Host> host;
  std::map<unsigned long, std::shared_ptr<Channel>> channels;  // open
  std::set<unsigned long> busy;  // Luns whose reader is starting or being removed
};

// Never destroyed: exit() runs the destructors of statics while pcscd's own
// threads may still be inside the handler, and the platform's threads in
// the host would outlive the platform's statics. CloseAtExit ends it first.
Registry& TheRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

std::shared_ptr<Channel> Find(unsigned long lun) {
  if ((lun & kSlotMask) != 0) return nullptr;
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.lock);
  const auto found = registry.channels.find(lun);
  return found == registry.channels.end() ? nullptr : found->second;
}

std::string LunText(unsigned long lun) {
  char text[24];
  std::snprintf(text, sizeof text, "Lun 0x%lX", lun);
  return text;
}

// With the last channel gone: everything the driver allocated must be freed
// and every request completed and freed, before the driver is unloaded.
// Under the registry's lock.
void ReleaseHostLocked(Registry& registry) {
  if (!registry.host || !registry.channels.empty() || !registry.busy.empty()) return;
  const ULONG blocks = kernel::pool::LiveBlocks(DriverPoolTag);
  const std::size_t live = kernel::irps::Live();
  const std::size_t inProgress = kernel::irps::InProgress();
  registry.host.reset();
  char text[160];
  std::snprintf(text, sizeof text,
                "last channel closed: driver pool blocks live %lu, requests live %zu, in progress %zu: %s",
                static_cast<unsigned long>(blocks), live, inProgress,
                blocks == 0 && live == 0 && inProgress == 0 ? "clean" : "LEAK");
  if (blocks == 0 && live == 0 && inProgress == 0) {
    log::Info(text);
  } else {
    log::Error(text);
  }
}

// Closes one channel outside the lock, then lets the host go if it was the last.
void CloseAndForget(Registry& registry, unsigned long lun, std::shared_ptr<Channel> channel) {
  channel->Close();
  channel.reset();
  log::Info(LunText(lun) + ": reader closed and removed");
  std::lock_guard<std::mutex> guard(registry.lock);
  registry.busy.erase(lun);
  ReleaseHostLocked(registry);
}

// pcscd may end with exit() and open channels: after a configuration error
// that follows a good entry, or at --auto-exit. The readers are removed and
// the driver unloaded as at a last close, before the statics they use go.
void CloseAtExit() {
  Registry& registry = TheRegistry();
  std::map<unsigned long, std::shared_ptr<Channel>> open;
  {
    std::lock_guard<std::mutex> guard(registry.lock);
    open.swap(registry.channels);
    for (const auto& entry : open) registry.busy.insert(entry.first);
  }
  for (auto& entry : open) CloseAndForget(registry, entry.first, std::move(entry.second));
}

ULONG LittleEndian(const std::vector<std::uint8_t>& bytes) {
  ULONG value = 0;
  if (bytes.size() >= sizeof value) std::memcpy(&value, bytes.data(), sizeof value);
  return value;
}

Response OneByte(unsigned char byte, unsigned long* length, unsigned char* value) {
  if (*length < 1) return kErrorInsufficientBuffer;
  value[0] = byte;
  *length = 1;
  return kSuccess;
}

template <typename Function>
Response FunctionPointer(Function function, unsigned long* length, unsigned char* value) {
  if (*length < sizeof function) return kErrorInsufficientBuffer;
  std::memcpy(value, &function, sizeof function);
  *length = sizeof function;
  return kSuccess;
}

// A reset or power-down that fails for another reason than a missing card
// or reader is a failed power action to pcscd.
Response PowerResponse(NTSTATUS status) {
  const Response response = MapStatus(status);
  if (response == kSuccess || response == kIccNotPresent || response == kNoSuchDevice) return response;
  return kErrorPowerAction;
}

}  // namespace

Response CreateChannelByName(unsigned long lun, const char* deviceName) {
  std::string error;
  const std::optional<ChannelOptions> options = ParseDeviceName(deviceName, &error);
  if (!options) {
    log::Error(LunText(lun) + ": " + error);
    return kNoSuchDevice;
  }
  log::Configure(options->log, options->verbose);
  if ((lun & kSlotMask) != 0) {
    log::Error(LunText(lun) + ": this reader has one slot, slot 0");
    return kNoSuchDevice;
  }
  Registry& registry = TheRegistry();
  const SignalsBlocked blocked;  // for the threads started below
  std::shared_ptr<Channel> channel;
  {
    std::lock_guard<std::mutex> guard(registry.lock);
    if (registry.channels.count(lun) != 0 || registry.busy.count(lun) != 0) {
      log::Error(LunText(lun) + " is already open");
      return kCommunicationError;
    }
    if (!registry.host) {
      registry.host = std::make_unique<host::Host>(kernel::ClockMode::Real);
      if (registry.host->Driver() == nullptr) {
        log::Error("DriverEntry ended with " + host::StatusWord(registry.host->EntryStatus()));
        registry.host.reset();
        return kCommunicationError;
      }
    }
    registry.busy.insert(lun);
    channel = std::make_shared<Channel>(*registry.host, *options);
  }
  // The start takes real time; the other readers go on meanwhile.
  const NTSTATUS opened = channel->Open();
  std::lock_guard<std::mutex> guard(registry.lock);
  registry.busy.erase(lun);
  if (!NT_SUCCESS(opened)) {
    log::Error(LunText(lun) + ": the reader did not start: " + host::StatusWord(opened));
    channel.reset();
    ReleaseHostLocked(registry);
    return MapStatus(opened) == kSuccess ? kCommunicationError : MapStatus(opened);
  }
  registry.channels.emplace(lun, std::move(channel));
  log::Info(LunText(lun) + ": reader \"" + std::string(deviceName != nullptr ? deviceName : "emulated") +
            "\" plugged, started and opened");
  // Registered after everything the channel's life touches exists, so that it
  // runs before their destructors at exit (the latest registered runs first).
  std::atexit(CloseAtExit);
  return kSuccess;
}

Response CreateChannel(unsigned long lun, unsigned long /*channel*/) { return CreateChannelByName(lun, nullptr); }

Response CloseChannel(unsigned long lun) {
  if ((lun & kSlotMask) != 0) return kNoSuchDevice;
  Registry& registry = TheRegistry();
  std::shared_ptr<Channel> channel;
  {
    std::lock_guard<std::mutex> guard(registry.lock);
    const auto found = registry.channels.find(lun);
    if (found == registry.channels.end()) return kNoSuchDevice;
    channel = std::move(found->second);
    registry.channels.erase(found);
    registry.busy.insert(lun);
  }
  CloseAndForget(registry, lun, std::move(channel));
  return kSuccess;
}

Response GetCapabilities(unsigned long lun, unsigned long tag, unsigned long* length, unsigned char* value) {
  if (length == nullptr || value == nullptr) return kCommunicationError;
  const std::shared_ptr<Channel> channel = Find(lun);
  if (!channel) return kNoSuchDevice;
  switch (tag) {
    case kTagSlotsNumber:
      return OneByte(1, length, value);
    case kTagSimultaneousAccess:
      return OneByte(kMaxReaders, length, value);
    case kTagThreadSafe:
      return OneByte(1, length, value);
    case kTagSlotThreadSafe:
      return OneByte(0, length, value);
    case kTagPollingThreadKillable:
      return OneByte(0, length, value);
    case kTagPollingThreadWithTimeout:
      return FunctionPointer(&PollCardEvent, length, value);
    case kTagStopPollingThread:
      return FunctionPointer(&StopPolling, length, value);
    default:
      break;
  }
  if (tag > 0xFFFFFFFFul) return kErrorTag;
  const ULONG attribute = tag == kTagAtr ? SCARD_ATTR_ATR_STRING : static_cast<ULONG>(tag);
  host::ControlRequest request = host::AttributeRequest(attribute);
  request.outputLength = static_cast<ULONG>(std::min<unsigned long>(*length, host::kLibraryBufferSize));
  const kernel::IoResult result = channel->Send(request);
  if (result.status == STATUS_NOT_SUPPORTED) return kErrorTag;
  if (tag == kTagAtr && result.status == STATUS_NO_MEDIA) {
    *length = 0;  // no card, no ATR
    return kSuccess;
  }
  if (!NT_SUCCESS(result.status)) return MapStatus(result.status);
  std::copy(result.output.begin(), result.output.end(), value);
  *length = result.output.size();
  return kSuccess;
}

Response SetCapabilities(unsigned long lun, unsigned long /*tag*/, unsigned long length, const unsigned char* value) {
  if (value == nullptr && length != 0) return kCommunicationError;
  if (!Find(lun)) return kNoSuchDevice;
  return kErrorTag;  // nothing can be set
}

Response SetProtocolParameters(unsigned long lun, unsigned long protocol, unsigned char /*flags*/,
                               unsigned char /*pts1*/, unsigned char /*pts2*/, unsigned char /*pts3*/) {
  const std::shared_ptr<Channel> channel = Find(lun);
  if (!channel) return kNoSuchDevice;
  // The reader picks the card's rate itself: no PTS is exchanged, whatever
  // the flags ask for.
  ULONG mask = 0;
  if ((protocol & kPcscProtocolT0) != 0) mask |= SCARD_PROTOCOL_T0;
  if ((protocol & kPcscProtocolT1) != 0) mask |= SCARD_PROTOCOL_T1;
  if ((protocol & kPcscProtocolRaw) != 0) mask |= SCARD_PROTOCOL_RAW;
  if (mask == 0) return kProtocolNotSupported;
  const kernel::IoResult result = channel->Send(host::ProtocolRequest(mask));
  if (result.status == STATUS_INVALID_DEVICE_REQUEST) return kProtocolNotSupported;
  if (!NT_SUCCESS(result.status)) return MapStatus(result.status);
  // No answer: a protocol was already selected for this card, and stays.
  if (result.output.size() == sizeof(ULONG) && (LittleEndian(result.output) & mask) == 0) {
    return kProtocolNotSupported;
  }
  return kSuccess;
}

Response PowerIcc(unsigned long lun, unsigned long action, unsigned char* atr, unsigned long* atrLength) {
  if (atrLength == nullptr) return kCommunicationError;
  const unsigned long room = *atrLength;
  *atrLength = 0;
  const std::shared_ptr<Channel> channel = Find(lun);
  if (!channel) return kNoSuchDevice;
  ULONG operation = 0;
  switch (action) {
    case kPowerUp:
      operation = SCARD_COLD_RESET;
      break;
    case kReset:
      operation = SCARD_WARM_RESET;
      break;
    case kPowerDown:
      operation = SCARD_POWER_DOWN;
      break;
    default:
      return kNotSupported;
  }
  if (operation != SCARD_POWER_DOWN && atr == nullptr) return kCommunicationError;
  const kernel::IoResult result = channel->Send(host::PowerRequest(operation));
  if (!NT_SUCCESS(result.status)) return PowerResponse(result.status);
  if (operation == SCARD_POWER_DOWN) return kSuccess;
  if (result.output.size() > room) return kErrorInsufficientBuffer;
  std::copy(result.output.begin(), result.output.end(), atr);
  *atrLength = result.output.size();
  return kSuccess;
}

Response TransmitToIcc(unsigned long lun, unsigned long protocol, const unsigned char* tx, unsigned long txLength,
                       unsigned char* rx, unsigned long* rxLength) {
  if (rxLength == nullptr) return kCommunicationError;
  const unsigned long room = *rxLength;
  *rxLength = 0;
  if ((tx == nullptr && txLength != 0) || (rx == nullptr && room != 0)) return kCommunicationError;
  const std::shared_ptr<Channel> channel = Find(lun);
  if (!channel) return kNoSuchDevice;
  ULONG driverProtocol = 0;
  switch (protocol) {
    case 0:
      driverProtocol = SCARD_PROTOCOL_T0;
      break;
    case 1:
      driverProtocol = SCARD_PROTOCOL_T1;
      break;
    case kPcscProtocolRaw:
      driverProtocol = SCARD_PROTOCOL_RAW;
      break;
    default:
      return kProtocolNotSupported;
  }
  // The library takes no request longer than its buffer; the driver refuses
  // commands above 65,542 bytes itself.
  if (txLength > host::kLibraryBufferSize - sizeof(SCARD_IO_REQUEST)) return kErrorInsufficientBuffer;
  host::ControlRequest request =
      host::TransmitRequest(driverProtocol, std::span<const std::uint8_t>(tx, static_cast<std::size_t>(txLength)));
  request.outputLength = static_cast<ULONG>(
      std::min<unsigned long>(room + sizeof(SCARD_IO_REQUEST), host::kLibraryBufferSize));
  const kernel::IoResult result = channel->Send(request);
  if (!NT_SUCCESS(result.status)) return MapStatus(result.status);
  if (result.output.size() < sizeof(SCARD_IO_REQUEST)) return kCommunicationError;
  const std::size_t responseLength = result.output.size() - sizeof(SCARD_IO_REQUEST);
  if (responseLength > room) return kErrorInsufficientBuffer;
  std::copy(result.output.begin() + sizeof(SCARD_IO_REQUEST), result.output.end(), rx);
  *rxLength = responseLength;
  return kSuccess;
}

Response Control(unsigned long lun, unsigned long code, const unsigned char* tx, unsigned long txLength,
                 unsigned char* rx, unsigned long rxLength, unsigned long* bytesReturned) {
  if (bytesReturned == nullptr) return kCommunicationError;
  *bytesReturned = 0;
  if ((tx == nullptr && txLength != 0) || (rx == nullptr && rxLength != 0)) return kCommunicationError;
  const std::shared_ptr<Channel> channel = Find(lun);
  if (!channel) return kNoSuchDevice;
  // No PIN pad, display or other part-10 feature: the list is empty.
  if (code == kGetFeatureRequest) return kSuccess;
  if (code < PcscControlCode(VendorFunctionFirst) || code > PcscControlCode(VendorFunctionLast)) {
    return kErrorNotSupported;
  }
  if (txLength > host::kLibraryBufferSize || rxLength > host::kLibraryBufferSize) return kErrorInsufficientBuffer;
  host::ControlRequest request;
  request.code = SCARD_CTL_CODE(static_cast<ULONG>(code - PcscControlCode(0)));
  request.input.assign(tx, tx + txLength);
  request.outputLength = static_cast<ULONG>(rxLength);
  const kernel::IoResult result = channel->Send(request);
  if (!NT_SUCCESS(result.status)) return MapStatus(result.status);
  if (result.output.size() > rxLength) return kErrorInsufficientBuffer;
  std::copy(result.output.begin(), result.output.end(), rx);
  *bytesReturned = result.output.size();
  return kSuccess;
}

Response IccPresence(unsigned long lun) {
  const std::shared_ptr<Channel> channel = Find(lun);
  if (!channel) return kNoSuchDevice;
  const kernel::IoResult result = channel->Send(host::StateRequest());
  if (!NT_SUCCESS(result.status)) return MapStatus(result.status);
  if (result.output.size() != sizeof(ULONG)) return kCommunicationError;
  return LittleEndian(result.output) > SCARD_ABSENT ? kIccPresent : kIccNotPresent;
}

Response PollCardEvent(unsigned long lun, int timeoutMs) {
  const std::shared_ptr<Channel> channel = Find(lun);
  if (!channel) return kNoSuchDevice;
  return channel->WaitForCardEvent(timeoutMs);
}

Response StopPolling(unsigned long lun) {
  const std::shared_ptr<Channel> channel = Find(lun);
  if (!channel) return kNoSuchDevice;
  channel->StopWaiting();
  return kSuccess;
}

std::size_t OpenChannels() {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.lock);
  return registry.channels.size();
}

std::shared_ptr<emu::Reader> EmulatedReader(unsigned long lun) {
  const std::shared_ptr<Channel> channel = Find(lun);
  return channel ? channel->SharedReader() : nullptr;
}

}  // namespace ifd
