// IOCTL_SMARTCARD_GET_ATTRIBUTE: the reader's identity and capabilities and
// the card's state, answered from the extension. Numbers are 32-bit
// little-endian values, strings their bytes without a terminating zero.
#include <cstring>

#include "platform/smclib/request.h"

namespace smclib::detail {
namespace {

// ICC presence as PC/SC defines it: 0 no card, 1 present, 2 present and in
// position (swallowed) or further on.
constexpr UCHAR kIccAbsent = 0;
constexpr UCHAR kIccPresent = 1;
constexpr UCHAR kIccInPosition = 2;

class Answer {
 public:
  void Ulong(ULONG value) {
    std::memcpy(bytes_, &value, sizeof(value));
    length_ = sizeof(value);
  }
  void Byte(UCHAR value) {
    bytes_[0] = value;
    length_ = 1;
  }
  // A length beyond the field means the record is not what it claims.
  NTSTATUS Bytes(const UCHAR* data, ULONG length, ULONG fieldSize) {
    if (length > fieldSize || length > sizeof(bytes_)) return STATUS_INVALID_DEVICE_STATE;
    if (length != 0) std::memcpy(bytes_, data, length);
    length_ = length;
    return STATUS_SUCCESS;
  }
  // A string the driver left empty is one the reader does not report.
  NTSTATUS String(const SCARD_ATTR_STRING& text) {
    if (text.Length == 0) return STATUS_NOT_SUPPORTED;
    return Bytes(text.Buffer, text.Length, sizeof(text.Buffer));
  }
  const UCHAR* Data() const { return bytes_; }
  ULONG Length() const { return length_; }

 private:
  UCHAR bytes_[64] = {};
  ULONG length_ = 0;
};

UCHAR IccPresence(ULONG state) {
  if (state <= SCARD_ABSENT) return kIccAbsent;
  return state == SCARD_PRESENT ? kIccPresent : kIccInPosition;
}

NTSTATUS Lookup(const SMARTCARD_EXTENSION& extension, ULONG tag, Answer& answer) {
  const VENDOR_ATTR& vendor = extension.VendorAttr;
  const SCARD_READER_CAPABILITIES& reader = extension.ReaderCapabilities;
  const SCARD_CARD_CAPABILITIES& card = extension.CardCapabilities;
  const ULONG state = reader.CurrentState;
  switch (tag) {
    case SCARD_ATTR_VENDOR_NAME:
      return answer.String(vendor.VendorName);
    case SCARD_ATTR_VENDOR_IFD_TYPE:
      return answer.String(vendor.IfdType);
    case SCARD_ATTR_VENDOR_IFD_SERIAL_NO:
      return answer.String(vendor.IfdSerialNo);
    case SCARD_ATTR_VENDOR_IFD_VERSION:
      // 0xMMmmbbbb: major, minor, build.
      answer.Ulong((static_cast<ULONG>(vendor.IfdVersion.VersionMajor) << 24) |
                   (static_cast<ULONG>(vendor.IfdVersion.VersionMinor) << 16) | vendor.IfdVersion.BuildNumber);
      return STATUS_SUCCESS;
    case SCARD_ATTR_DEVICE_UNIT:
      answer.Ulong(vendor.UnitNo);
      return STATUS_SUCCESS;
    case SCARD_ATTR_CHANNEL_ID:
      // 0xDDDDCCCC: the channel type (the reader type bits) and its number.
      answer.Ulong((reader.ReaderType << 16) | (reader.Channel & 0xFFFF));
      return STATUS_SUCCESS;
    case SCARD_ATTR_PROTOCOL_TYPES:
      answer.Ulong(reader.SupportedProtocols);
      return STATUS_SUCCESS;
    case SCARD_ATTR_DEFAULT_CLK:
      answer.Ulong(reader.CLKFrequency.Default);
      return STATUS_SUCCESS;
    case SCARD_ATTR_MAX_CLK:
      answer.Ulong(reader.CLKFrequency.Max);
      return STATUS_SUCCESS;
    case SCARD_ATTR_DEFAULT_DATA_RATE:
      answer.Ulong(reader.DataRate.Default);
      return STATUS_SUCCESS;
    case SCARD_ATTR_MAX_DATA_RATE:
      answer.Ulong(reader.DataRate.Max);
      return STATUS_SUCCESS;
    case SCARD_ATTR_MAX_IFSD:
      answer.Ulong(reader.MaxIFSD);
      return STATUS_SUCCESS;
    case SCARD_ATTR_POWER_MGMT_SUPPORT:
      answer.Ulong(reader.PowerMgmtSupport);
      return STATUS_SUCCESS;
    case SCARD_ATTR_CHARACTERISTICS:
      answer.Ulong(reader.MechProperties);
      return STATUS_SUCCESS;
    case SCARD_ATTR_MAXINPUT:
      // The largest command a transmit can carry is bounded by the reply
      // buffer the driver asked for, which also holds the echoed header.
      answer.Ulong(extension.SmartcardReply.BufferSize);
      return STATUS_SUCCESS;
    case SCARD_ATTR_CURRENT_PROTOCOL_TYPE:
      // A protocol is current only while the card is in specific mode; the
      // record of the last selection outlives a reset or a removal.
      answer.Ulong(state == SCARD_SPECIFIC ? card.Protocol.Selected : SCARD_PROTOCOL_UNDEFINED);
      return STATUS_SUCCESS;
    case SCARD_ATTR_CURRENT_N:
      answer.Ulong(card.N);
      return STATUS_SUCCESS;
    case SCARD_ATTR_CURRENT_IFSC:
      answer.Ulong(card.T1.IFSC);
      return STATUS_SUCCESS;
    case SCARD_ATTR_CURRENT_IFSD:
      answer.Ulong(extension.T1.IFSD);
      return STATUS_SUCCESS;
    case SCARD_ATTR_ICC_PRESENCE:
      answer.Byte(IccPresence(state));
      return STATUS_SUCCESS;
    case SCARD_ATTR_ICC_INTERFACE_STATUS:
      // The contacts are active from the reset on (SCARD_POWERED and the
      // negotiable and specific modes that follow it).
      answer.Byte(state >= SCARD_POWERED ? 1 : 0);
      return STATUS_SUCCESS;
    case SCARD_ATTR_ATR_STRING:
      // The recorded ATR outlives the card; it describes no card once it is gone.
      if (state <= SCARD_ABSENT) return STATUS_NO_MEDIA;
      return answer.Bytes(card.ATR.Buffer, card.ATR.Length, sizeof(card.ATR.Buffer));
    default:
      return STATUS_NOT_SUPPORTED;
  }
}

}  // namespace

NTSTATUS ReadAttribute(const SMARTCARD_EXTENSION& extension, ULONG tag, PUCHAR out, ULONG outLength,
                       ULONG* information) {
  *information = 0;
  Answer answer;
  const NTSTATUS status = Lookup(extension, tag, answer);
  if (!NT_SUCCESS(status)) return status;
  if (outLength < answer.Length()) return STATUS_BUFFER_TOO_SMALL;
  if (answer.Length() != 0) std::memcpy(out, answer.Data(), answer.Length());
  *information = answer.Length();
  return STATUS_SUCCESS;
}

}  // namespace smclib::detail
