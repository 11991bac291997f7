// CardTransmit, the RDF_TRANSMIT reader function: the length tests, the
// SCARD_IO_REQUEST header, and the choice of path by protocol and firmware.
//
// Returns, besides the path's own statuses:
// - STATUS_INVALID_DEVICE_REQUEST for a request shorter than its header
//   (IoRequest.Information untouched), a command longer than 65,542 bytes,
//   or a selected protocol other than T=0, T=1 and raw;
// - STATUS_BUFFER_TOO_SMALL for a reply buffer that cannot take the header.
// On every failure IoRequest.Information is 0; past the length tests the
// reply begins with the request's header whatever the outcome.
#include "driver/card/reader_functions.h"
#include "driver/card/transmit_paths.h"
#include "driver/reader/firmware_generation.h"
#include "driver/reader/reader_lock.h"

namespace {

NTSTATUS TransmitBySelectedProtocol(PSMARTCARD_EXTENSION SmartcardExtension, ULONG commandLength) {
  const DeviceContext* context = CONTAINING_RECORD(SmartcardExtension, DeviceContext, SmartcardExtension);
  switch (SmartcardExtension->CardCapabilities.Protocol.Selected) {
    case SCARD_PROTOCOL_T0:
      return TransmitT0(SmartcardExtension, commandLength);
    case SCARD_PROTOCOL_T1:
    case SCARD_PROTOCOL_RAW:
      // Readers of the old frame generation run T=1 themselves.
      if (FrameGenerationFor(context->FirmwareVersion) == FrameGenerationOld) {
        return TransmitOldGeneration(SmartcardExtension, commandLength);
      }
      return TransmitT1Blocks(SmartcardExtension, commandLength);
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

}  // namespace

NTSTATUS NTAPI CardTransmit(PSMARTCARD_EXTENSION SmartcardExtension) {
  auto& io = SmartcardExtension->IoRequest;
  if (io.RequestBufferLength < TransmitHeaderLength) return STATUS_INVALID_DEVICE_REQUEST;
  *io.Information = 0;
  if (io.ReplyBufferLength < TransmitHeaderLength) return STATUS_BUFFER_TOO_SMALL;

  DeviceContext* context = CONTAINING_RECORD(SmartcardExtension, DeviceContext, SmartcardExtension);
  AcquireReaderLock(context);
  // The library hands a buffered request over: request and reply may be one buffer.
  RtlMoveMemory(io.ReplyBuffer, io.RequestBuffer, TransmitHeaderLength);
  const ULONG commandLength = io.RequestBufferLength - TransmitHeaderLength;
  const NTSTATUS status = commandLength > TransmitCommandMax
                              ? STATUS_INVALID_DEVICE_REQUEST
                              : TransmitBySelectedProtocol(SmartcardExtension, commandLength);
  ReleaseReaderLock(context);
  return status;
}
