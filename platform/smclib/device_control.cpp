// SmartcardDeviceControl: decodes a smart-card request, hands it to the
// reader function of its slot, and completes it with the status returned.
//
// Reader functions other than the vendor one work on the library's own
// request and reply buffers, as the platform library does for its protocol
// helpers: the input is copied in, and the reply bytes the function counted
// are copied back to the system buffer. A reader function may therefore
// rewrite its request (the T=0 reduction does) and build its reply without
// the two overlapping. Vendor functions get the request itself
// (OsData->CurrentIrp) and its system buffer.
#include <cstring>

#include "platform/smclib/request.h"

namespace smclib::detail {

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = NT_ERROR(status) ? 0 : information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace smclib::detail

namespace {

using smclib::detail::CompleteRequest;
using smclib::detail::Request;

constexpr ULONG kVendorFunctionFirst = 2048;

constexpr ULONG DeviceTypeOf(ULONG code) { return code >> 16; }
constexpr ULONG FunctionOf(ULONG code) { return (code >> 2) & 0xFFF; }

ULONG ReadUlong(const UCHAR* bytes) {
  ULONG value;
  std::memcpy(&value, bytes, sizeof(value));
  return value;
}

void WriteUlong(PUCHAR bytes, ULONG value) { std::memcpy(bytes, &value, sizeof(value)); }

LONGLONG SystemTime() {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  return now.QuadPart;
}

void SetIoRequest(PSMARTCARD_EXTENSION extension, PUCHAR requestBuffer, ULONG requestLength, PUCHAR replyBuffer,
                  ULONG replyLength) {
  SMARTCARD_LIBRARY_DATA* osData = LibraryData(extension);
  osData->ReplyLength = 0;
  extension->IoRequest.Information = &osData->ReplyLength;
  extension->IoRequest.RequestBuffer = requestBuffer;
  extension->IoRequest.RequestBufferLength = requestLength;
  extension->IoRequest.ReplyBuffer = replyBuffer;
  extension->IoRequest.ReplyBufferLength = replyLength;
}

NTSTATUS CallReaderFunction(PSMARTCARD_EXTENSION extension, PIRP irp, ULONG slot) {
  PSMARTCARD_OS_DATA osData = extension->OsData;
  osData->CurrentIrp = irp;
  const NTSTATUS status = extension->ReaderFunction[slot](extension);
  osData->CurrentIrp = nullptr;
  if (NT_ERROR(status)) extension->LastError = static_cast<ULONG>(status);
  return status;
}

// A request that a reader function serves on the library's buffers.
NTSTATUS ServeThroughBuffers(PSMARTCARD_EXTENSION extension, const Request& request, ULONG slot,
                             ULONG* replyLength) {
  SMARTCARD_REQUEST& libraryRequest = extension->SmartcardRequest;
  SMARTCARD_REPLY& libraryReply = extension->SmartcardReply;
  if (request.inputLength > libraryRequest.BufferSize) return STATUS_INVALID_PARAMETER;
  if (request.inputLength != 0) std::memcpy(libraryRequest.Buffer, request.buffer, request.inputLength);
  libraryRequest.BufferLength = request.inputLength;
  // More room than the library's reply buffer has is of no use to a reader
  // function; less is what the caller can take.
  const ULONG replyRoom =
      request.outputLength < libraryReply.BufferSize ? request.outputLength : libraryReply.BufferSize;
  SetIoRequest(extension, libraryRequest.Buffer, request.inputLength, libraryReply.Buffer, replyRoom);

  const NTSTATUS status = CallReaderFunction(extension, request.irp, slot);
  if (status == STATUS_PENDING || NT_ERROR(status)) {
    libraryReply.BufferLength = 0;
    return status;
  }
  // The count comes from the reader function; never copy past what it was given.
  ULONG length = LibraryData(extension)->ReplyLength;
  if (length > replyRoom) length = replyRoom;
  if (length != 0) std::memcpy(request.buffer, libraryReply.Buffer, length);
  libraryReply.BufferLength = length;
  *replyLength = length;
  return status;
}

NTSTATUS ServeByReader(PSMARTCARD_EXTENSION extension, const Request& request, ULONG slot, ULONG minor) {
  if (extension->ReaderFunction[slot] == nullptr) return CompleteRequest(request.irp, STATUS_NOT_SUPPORTED, 0);
  extension->MinorIoControlCode = minor;
  ULONG replyLength = 0;
  const NTSTATUS status = ServeThroughBuffers(extension, request, slot, &replyLength);
  // A reader function that keeps the request has marked it pending and completes it itself.
  if (status == STATUS_PENDING) return status;
  return CompleteRequest(request.irp, status, replyLength);
}

NTSTATUS TransmitRefusal(const SMARTCARD_EXTENSION& extension, ULONG headerProtocol) {
  const ULONG state = extension.ReaderCapabilities.CurrentState;
  if (state == SCARD_ABSENT) return STATUS_NO_MEDIA;
  if (state != SCARD_SPECIFIC || headerProtocol != extension.CardCapabilities.Protocol.Selected) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  return STATUS_SUCCESS;
}

NTSTATUS ServeTransmit(PSMARTCARD_EXTENSION extension, const Request& request) {
  if (request.inputLength < sizeof(SCARD_IO_REQUEST)) return CompleteRequest(request.irp, STATUS_INVALID_PARAMETER, 0);
  if (request.outputLength < sizeof(SCARD_IO_REQUEST)) return CompleteRequest(request.irp, STATUS_BUFFER_TOO_SMALL, 0);
  if (extension->ReaderFunction[RDF_TRANSMIT] == nullptr) return CompleteRequest(request.irp, STATUS_NOT_SUPPORTED, 0);
  if (request.inputLength > extension->SmartcardRequest.BufferSize) {
    return CompleteRequest(request.irp, STATUS_INVALID_PARAMETER, 0);
  }
  // Nothing goes to the card that it cannot take: no card at all, a card
  // whose protocol is not established (every reset ends it until the next
  // set-protocol), or a header that names another protocol than the one
  // selected.
  const NTSTATUS refusal = TransmitRefusal(*extension, ReadUlong(request.buffer));
  if (refusal != STATUS_SUCCESS) return CompleteRequest(request.irp, refusal, 0);
  extension->MinorIoControlCode = 0;
  const LONGLONG start = SystemTime();
  ULONG replyLength = 0;
  const NTSTATUS status = ServeThroughBuffers(extension, request, RDF_TRANSMIT, &replyLength);
  PERF_INFO& performance = LibraryData(extension)->Performance;
  performance.NumTransmissions++;
  performance.BytesSent += request.inputLength - static_cast<ULONG>(sizeof(SCARD_IO_REQUEST));
  if (replyLength > sizeof(SCARD_IO_REQUEST)) {
    performance.BytesReceived += replyLength - static_cast<ULONG>(sizeof(SCARD_IO_REQUEST));
  }
  performance.IoTickCount.QuadPart += SystemTime() - start;
  if (status == STATUS_PENDING) return status;
  return CompleteRequest(request.irp, status, replyLength);
}

NTSTATUS ServeVendor(PSMARTCARD_EXTENSION extension, const Request& request) {
  if (extension->ReaderFunction[RDF_IOCTL_VENDOR] == nullptr) {
    return CompleteRequest(request.irp, STATUS_NOT_SUPPORTED, 0);
  }
  extension->MinorIoControlCode = 0;
  SetIoRequest(extension, request.buffer, request.inputLength, request.buffer, request.outputLength);
  request.irp->IoStatus.Information = 0;
  const NTSTATUS status = CallReaderFunction(extension, request.irp, RDF_IOCTL_VENDOR);
  if (status == STATUS_PENDING) return status;
  // A vendor function reports its count in the request, as the platform's
  // do, or through IoRequest.Information like the other reader functions.
  ULONG_PTR information = request.irp->IoStatus.Information;
  if (information == 0) information = LibraryData(extension)->ReplyLength;
  if (information > request.outputLength) information = request.outputLength;
  return CompleteRequest(request.irp, status, information);
}

NTSTATUS AnswerUlong(const Request& request, ULONG value) {
  if (request.outputLength < sizeof(ULONG)) return CompleteRequest(request.irp, STATUS_BUFFER_TOO_SMALL, 0);
  WriteUlong(request.buffer, value);
  return CompleteRequest(request.irp, STATUS_SUCCESS, sizeof(ULONG));
}

NTSTATUS AnswerAttribute(PSMARTCARD_EXTENSION extension, const Request& request) {
  if (request.inputLength < sizeof(ULONG)) return CompleteRequest(request.irp, STATUS_INVALID_PARAMETER, 0);
  const ULONG tag = ReadUlong(request.buffer);
  ULONG length = 0;
  const NTSTATUS status =
      smclib::detail::ReadAttribute(*extension, tag, request.buffer, request.outputLength, &length);
  return CompleteRequest(request.irp, status, length);
}

NTSTATUS AnswerPerformance(PSMARTCARD_EXTENSION extension, const Request& request) {
  if (request.outputLength < sizeof(PERF_INFO)) return CompleteRequest(request.irp, STATUS_BUFFER_TOO_SMALL, 0);
  std::memcpy(request.buffer, &LibraryData(extension)->Performance, sizeof(PERF_INFO));
  return CompleteRequest(request.irp, STATUS_SUCCESS, sizeof(PERF_INFO));
}

// The power operation and the protocol mask travel as one 32-bit value.
NTSTATUS ServeWithMinorCode(PSMARTCARD_EXTENSION extension, const Request& request, ULONG slot,
                            ULONG replyAtLeast) {
  if (request.inputLength < sizeof(ULONG)) return CompleteRequest(request.irp, STATUS_INVALID_PARAMETER, 0);
  if (request.outputLength < replyAtLeast) return CompleteRequest(request.irp, STATUS_BUFFER_TOO_SMALL, 0);
  return ServeByReader(extension, request, slot, ReadUlong(request.buffer));
}

NTSTATUS Serve(PSMARTCARD_EXTENSION extension, const Request& request) {
  extension->MajorIoControlCode = request.code;
  switch (request.code) {
    case IOCTL_SMARTCARD_POWER:
      return ServeWithMinorCode(extension, request, RDF_CARD_POWER, 0);
    case IOCTL_SMARTCARD_SET_PROTOCOL:
      // The selected protocol comes back as 4 bytes.
      return ServeWithMinorCode(extension, request, RDF_SET_PROTOCOL, sizeof(ULONG));
    case IOCTL_SMARTCARD_TRANSMIT:
      return ServeTransmit(extension, request);
    case IOCTL_SMARTCARD_EJECT:
      return ServeByReader(extension, request, RDF_CARD_EJECT, 0);
    case IOCTL_SMARTCARD_SWALLOW:
      return ServeByReader(extension, request, RDF_READER_SWALLOW, 0);
    case IOCTL_SMARTCARD_CONFISCATE:
      return ServeByReader(extension, request, RDF_CARD_CONFISCATE, 0);
    case IOCTL_SMARTCARD_IS_PRESENT:
    case IOCTL_SMARTCARD_IS_ABSENT:
      return smclib::detail::ServeTrackingRequest(extension, request);
    case IOCTL_SMARTCARD_GET_ATTRIBUTE:
      return AnswerAttribute(extension, request);
    case IOCTL_SMARTCARD_SET_ATTRIBUTE:
      // Every attribute the library answers is a fixed property of the
      // reader or a record of the card; none can be written.
      if (request.inputLength < sizeof(ULONG)) return CompleteRequest(request.irp, STATUS_INVALID_PARAMETER, 0);
      return CompleteRequest(request.irp, STATUS_NOT_SUPPORTED, 0);
    case IOCTL_SMARTCARD_GET_STATE:
      return AnswerUlong(request, extension->ReaderCapabilities.CurrentState);
    case IOCTL_SMARTCARD_GET_LAST_ERROR:
      return AnswerUlong(request, extension->LastError);
    case IOCTL_SMARTCARD_GET_PERF_CNTR:
      return AnswerPerformance(extension, request);
    default:
      break;
  }
  // Function codes from 2048 up of the smart-card device type are the
  // reader vendor's own.
  if (DeviceTypeOf(request.code) == FILE_DEVICE_SMARTCARD && FunctionOf(request.code) >= kVendorFunctionFirst) {
    return ServeVendor(extension, request);
  }
  return CompleteRequest(request.irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

}  // namespace

NTSTATUS NTAPI SmartcardDeviceControl(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp) {
  if (SmartcardExtension == nullptr || SmartcardExtension->OsData == nullptr) {
    return CompleteRequest(Irp, STATUS_INVALID_DEVICE_STATE, 0);
  }
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  const Request request{Irp, stack->Parameters.DeviceIoControl.IoControlCode,
                        static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer),
                        stack->Parameters.DeviceIoControl.InputBufferLength,
                        stack->Parameters.DeviceIoControl.OutputBufferLength};
  // Every smart-card control code is buffered.
  if ((request.code & 3) != METHOD_BUFFERED) return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  if (request.buffer == nullptr && (request.inputLength != 0 || request.outputLength != 0)) {
    return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
  }

  SMARTCARD_LIBRARY_DATA* osData = LibraryData(SmartcardExtension);
  KeWaitForSingleObject(&osData->RequestGate, Executive, KernelMode, FALSE, nullptr);
  const NTSTATUS status = Serve(SmartcardExtension, request);
  KeSetEvent(&osData->RequestGate, IO_NO_INCREMENT, FALSE);
  return status;
}
