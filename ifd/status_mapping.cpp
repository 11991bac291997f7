// The driver's statuses as IFD responses. pcscd turns the responses into
// PC/SC errors for its clients (IFD_ICC_NOT_PRESENT -> SCARD_E_NO_SMARTCARD,
// IFD_RESPONSE_TIMEOUT -> SCARD_E_TIMEOUT, IFD_NO_SUCH_DEVICE ->
// SCARD_E_READER_UNAVAILABLE, anything else it does not know ->
// SCARD_E_NOT_TRANSACTED), so the table keeps apart what a client can act on.
//
//   STATUS_SUCCESS                    IFD_SUCCESS
//   other success and information     IFD_SUCCESS
//     statuses (below 0x80000000)
//   STATUS_TIMEOUT (0x102)            IFD_RESPONSE_TIMEOUT  (a reader timeout that leaked out as success)
//   STATUS_PENDING                    IFD_COMMUNICATION_ERROR (never completed)
//   STATUS_NO_MEDIA                   IFD_ICC_NOT_PRESENT
//   STATUS_IO_TIMEOUT                 IFD_RESPONSE_TIMEOUT
//   STATUS_BUFFER_TOO_SMALL           IFD_ERROR_INSUFFICIENT_BUFFER
//   STATUS_DELETE_PENDING             IFD_NO_SUCH_DEVICE    (device removed, stopping or not started)
//   STATUS_DEVICE_REMOVED             IFD_NO_SUCH_DEVICE
//   STATUS_NO_SUCH_DEVICE             IFD_NO_SUCH_DEVICE
//   STATUS_DEVICE_NOT_CONNECTED       IFD_NO_SUCH_DEVICE
//   STATUS_OBJECT_NAME_NOT_FOUND      IFD_NO_SUCH_DEVICE    (no enabled reader interface to open)
//   STATUS_NOT_SUPPORTED              IFD_NOT_SUPPORTED
//   STATUS_NOT_IMPLEMENTED            IFD_NOT_SUPPORTED
//   STATUS_INVALID_DEVICE_REQUEST     IFD_NOT_SUPPORTED     (no protocol selected, code not served)
//   STATUS_DEVICE_POWER_FAILURE       IFD_ERROR_POWER_ACTION
//   STATUS_DEVICE_BUSY                IFD_COMMUNICATION_ERROR (the first poll never read the card state)
//   STATUS_CANCELLED                  IFD_COMMUNICATION_ERROR
//   STATUS_INVALID_PARAMETER          IFD_COMMUNICATION_ERROR (a command the T=0 reduction refuses)
//   STATUS_PORT_ALREADY_SET           IFD_COMMUNICATION_ERROR (T=0: P3 announces more than the command holds)
//   STATUS_DEVICE_PROTOCOL_ERROR      IFD_COMMUNICATION_ERROR (T=1 retries exhausted)
//   STATUS_IO_DEVICE_ERROR            IFD_COMMUNICATION_ERROR
//   STATUS_DEVICE_DATA_ERROR          IFD_COMMUNICATION_ERROR
//   STATUS_INVALID_DEVICE_STATE       IFD_COMMUNICATION_ERROR
//   STATUS_INSUFFICIENT_RESOURCES     IFD_COMMUNICATION_ERROR
//   STATUS_NO_MEMORY                  IFD_COMMUNICATION_ERROR
//   STATUS_ACCESS_DENIED              IFD_COMMUNICATION_ERROR
//   STATUS_UNSUCCESSFUL               IFD_COMMUNICATION_ERROR
//   any other error or warning        IFD_COMMUNICATION_ERROR
//
// Callers refine two cases: a power action that fails for another reason
// than a missing card or device is IFD_ERROR_POWER_ACTION, and an attribute
// the driver does not know is IFD_ERROR_TAG.
#include "ifd/status_mapping.h"

#include "platform/kernel/ntstatus.h"

namespace ifd {

Response MapStatus(NTSTATUS status) {
  switch (status) {
    case STATUS_SUCCESS:
      return kSuccess;
    case STATUS_TIMEOUT:
    case STATUS_IO_TIMEOUT:
      return kResponseTimeout;
    case STATUS_PENDING:
      return kCommunicationError;
    case STATUS_NO_MEDIA:
      return kIccNotPresent;
    case STATUS_BUFFER_TOO_SMALL:
      return kErrorInsufficientBuffer;
    case STATUS_DELETE_PENDING:
    case STATUS_DEVICE_REMOVED:
    case STATUS_NO_SUCH_DEVICE:
    case STATUS_DEVICE_NOT_CONNECTED:
    case STATUS_OBJECT_NAME_NOT_FOUND:
      return kNoSuchDevice;
    case STATUS_NOT_SUPPORTED:
    case STATUS_NOT_IMPLEMENTED:
    case STATUS_INVALID_DEVICE_REQUEST:
      return kNotSupported;
    case STATUS_DEVICE_POWER_FAILURE:
      return kErrorPowerAction;
    default:
      return NT_SUCCESS(status) ? kSuccess : kCommunicationError;
  }
}

}  // namespace ifd
