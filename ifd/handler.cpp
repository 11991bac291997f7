// The IFD handler: pcscd's calls become requests on the driver, through the
// host side (the driver loaded through DriverEntry, readers plugged and
// started, handles opened through the reader interface).
#include "ifd/handler.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "driver/public/vendor_ioctl.h"
#include "ifd/registry.h"
#include "ifd/status_mapping.h"
#include "platform/smclib/winsmcrd.h"

namespace ifd {
namespace {

// Readers one process may hold at once (TAG_IFD_SIMULTANEOUS_ACCESS).
constexpr unsigned char kMaxReaders = 16;

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

Response GetCapabilities(unsigned long lun, unsigned long tag, unsigned long* length, unsigned char* value) {
  if (length == nullptr || value == nullptr) return kCommunicationError;
  const std::shared_ptr<Channel> channel = FindChannel(lun);
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
  if (!FindChannel(lun)) return kNoSuchDevice;
  return kErrorTag;  // nothing can be set
}

Response SetProtocolParameters(unsigned long lun, unsigned long protocol, unsigned char /*flags*/,
                               unsigned char /*pts1*/, unsigned char /*pts2*/, unsigned char /*pts3*/) {
  const std::shared_ptr<Channel> channel = FindChannel(lun);
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
  const std::shared_ptr<Channel> channel = FindChannel(lun);
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
  const std::shared_ptr<Channel> channel = FindChannel(lun);
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
  request.outputLength =
      static_cast<ULONG>(std::min<unsigned long>(room + sizeof(SCARD_IO_REQUEST), host::kLibraryBufferSize));
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
  const std::shared_ptr<Channel> channel = FindChannel(lun);
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
  const std::shared_ptr<Channel> channel = FindChannel(lun);
  if (!channel) return kNoSuchDevice;
  const kernel::IoResult result = channel->Send(host::StateRequest());
  if (!NT_SUCCESS(result.status)) return MapStatus(result.status);
  if (result.output.size() != sizeof(ULONG)) return kCommunicationError;
  return LittleEndian(result.output) > SCARD_ABSENT ? kIccPresent : kIccNotPresent;
}

Response PollCardEvent(unsigned long lun, int timeoutMs) {
  const std::shared_ptr<Channel> channel = FindChannel(lun);
  if (!channel) return kNoSuchDevice;
  return channel->WaitForCardEvent(timeoutMs);
}

Response StopPolling(unsigned long lun) {
  const std::shared_ptr<Channel> channel = FindChannel(lun);
  if (!channel) return kNoSuchDevice;
  channel->StopWaiting();
  return kSuccess;
}
}  // namespace ifd
