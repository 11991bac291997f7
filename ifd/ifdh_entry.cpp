// The ten entry points of pcsc-lite's IFD handler API version 3, the only
// symbols the shared library exports (exports.map).
// The header declares the entry points without C linkage; pcscd looks them
// up by their C names.
extern "C" {
#include <PCSC/ifdhandler.h>
#include <PCSC/reader.h>
}

#include "ifd/handler.h"

static_assert(IFD_SUCCESS == ifd::kSuccess && IFD_ERROR_TAG == ifd::kErrorTag &&
              IFD_ERROR_SET_FAILURE == ifd::kErrorSetFailure && IFD_ERROR_VALUE_READ_ONLY == ifd::kErrorValueReadOnly &&
              IFD_ERROR_PTS_FAILURE == ifd::kErrorPtsFailure && IFD_ERROR_NOT_SUPPORTED == ifd::kErrorNotSupported &&
              IFD_PROTOCOL_NOT_SUPPORTED == ifd::kProtocolNotSupported &&
              IFD_ERROR_POWER_ACTION == ifd::kErrorPowerAction && IFD_COMMUNICATION_ERROR == ifd::kCommunicationError &&
              IFD_RESPONSE_TIMEOUT == ifd::kResponseTimeout && IFD_NOT_SUPPORTED == ifd::kNotSupported &&
              IFD_ICC_PRESENT == ifd::kIccPresent && IFD_ICC_NOT_PRESENT == ifd::kIccNotPresent &&
              IFD_NO_SUCH_DEVICE == ifd::kNoSuchDevice && IFD_ERROR_INSUFFICIENT_BUFFER == ifd::kErrorInsufficientBuffer);
static_assert(IFD_POWER_UP == ifd::kPowerUp && IFD_POWER_DOWN == ifd::kPowerDown && IFD_RESET == ifd::kReset);
static_assert(TAG_IFD_ATR == ifd::kTagAtr && TAG_IFD_SLOT_THREAD_SAFE == ifd::kTagSlotThreadSafe &&
              TAG_IFD_THREAD_SAFE == ifd::kTagThreadSafe && TAG_IFD_SLOTS_NUMBER == ifd::kTagSlotsNumber &&
              TAG_IFD_SIMULTANEOUS_ACCESS == ifd::kTagSimultaneousAccess &&
              TAG_IFD_POLLING_THREAD_KILLABLE == ifd::kTagPollingThreadKillable &&
              TAG_IFD_STOP_POLLING_THREAD == ifd::kTagStopPollingThread &&
              TAG_IFD_POLLING_THREAD_WITH_TIMEOUT == ifd::kTagPollingThreadWithTimeout);
static_assert(SCARD_PROTOCOL_T0 == ifd::kPcscProtocolT0 && SCARD_PROTOCOL_T1 == ifd::kPcscProtocolT1 &&
              SCARD_PROTOCOL_RAW == ifd::kPcscProtocolRaw);
static_assert(CM_IOCTL_GET_FEATURE_REQUEST == ifd::kGetFeatureRequest && MAX_ATR_SIZE == ifd::kMaxAtrSize);
static_assert(sizeof(DWORD) == sizeof(unsigned long) && sizeof(RESPONSECODE) == sizeof(ifd::Response));

extern "C" {

RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName) {
  return ifd::CreateChannelByName(Lun, DeviceName);
}

RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD Channel) { return ifd::CreateChannel(Lun, Channel); }

RESPONSECODE IFDHCloseChannel(DWORD Lun) { return ifd::CloseChannel(Lun); }

RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length, PUCHAR Value) {
  return ifd::GetCapabilities(Lun, Tag, Length, Value);
}

RESPONSECODE IFDHSetCapabilities(DWORD Lun, DWORD Tag, DWORD Length, PUCHAR Value) {
  return ifd::SetCapabilities(Lun, Tag, Length, Value);
}

RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR Flags, UCHAR PTS1, UCHAR PTS2, UCHAR PTS3) {
  return ifd::SetProtocolParameters(Lun, Protocol, Flags, PTS1, PTS2, PTS3);
}

RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength) {
  return ifd::PowerIcc(Lun, Action, Atr, AtrLength);
}

RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER SendPci, PUCHAR TxBuffer, DWORD TxLength,
                               PUCHAR RxBuffer, PDWORD RxLength, PSCARD_IO_HEADER RecvPci) {
  const RESPONSECODE response = ifd::TransmitToIcc(Lun, SendPci.Protocol, TxBuffer, TxLength, RxBuffer, RxLength);
  if (RecvPci != nullptr) {
    RecvPci->Protocol = SendPci.Protocol;
    RecvPci->Length = sizeof(SCARD_IO_HEADER);
  }
  return response;
}

RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer, DWORD TxLength, PUCHAR RxBuffer,
                         DWORD RxLength, LPDWORD pdwBytesReturned) {
  return ifd::Control(Lun, dwControlCode, TxBuffer, TxLength, RxBuffer, RxLength, pdwBytesReturned);
}

RESPONSECODE IFDHICCPresence(DWORD Lun) { return ifd::IccPresence(Lun); }

}  // extern "C"
