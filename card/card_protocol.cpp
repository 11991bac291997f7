// CardSetProtocol: records T=1 or T=0 for the card the reader has just
// reset. No PTS is exchanged with the card: the reader's reset command takes
// the protocol in its parameter byte.
#include "card/card_protocol.h"

#include "card/card_power.h"
#include "card/reader_functions.h"
#include "reader/reader_commands.h"
#include "reader/reader_lock.h"

namespace {

constexpr ULONG ProtocolMaskExamined = 0xFFFF;

}  // namespace

ULONG SelectProtocol(ULONG ProtocolMask) {
  const ULONG mask = ProtocolMask & ProtocolMaskExamined;
  if ((mask & SCARD_PROTOCOL_T1) != 0) return SCARD_PROTOCOL_T1;
  if ((mask & SCARD_PROTOCOL_T0) != 0) return SCARD_PROTOCOL_T0;
  return SCARD_PROTOCOL_UNDEFINED;
}

NTSTATUS CardSetProtocol(PSMARTCARD_EXTENSION SmartcardExtension) {
  DeviceContext* context = CONTAINING_RECORD(SmartcardExtension, DeviceContext, SmartcardExtension);
  const PDEVICE_OBJECT device = SmartcardExtension->OsData->DeviceObject;
  auto& request = SmartcardExtension->IoRequest;
  // Refused before the card is touched: the answer would not fit.
  if (request.ReplyBuffer == nullptr || request.ReplyBufferLength < SelectedProtocolReplyLength) {
    return STATUS_BUFFER_TOO_SMALL;
  }

  // Under ReaderLock the poll cannot report the card gone between the reset
  // and the state written below.
  AcquireReaderLock(context);
  // MinorIoControlCode holds the mask, so the reset's parameter byte asks
  // for T=1 exactly when the mask lacks T=0.
  const NTSTATUS reset = ResetCard(device, SmartcardExtension, 0);
  if (reset != STATUS_SUCCESS) {
    // A selection recorded for a reset the reader did not confirm would send
    // the next card command in a protocol the reader may not be running.
    ReleaseReaderLock(context);
    return ReaderCommandFailure(reset);
  }
  if (SmartcardExtension->ReaderCapabilities.CurrentState == SCARD_SPECIFIC) {
    ReleaseReaderLock(context);
    return STATUS_SUCCESS;
  }

  const ULONG selected = SelectProtocol(SmartcardExtension->MinorIoControlCode);
  if (selected != SCARD_PROTOCOL_UNDEFINED) SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
  SmartcardExtension->CardCapabilities.Protocol.Selected = selected;
  RtlCopyMemory(request.ReplyBuffer, &selected, SelectedProtocolReplyLength);
  *request.Information = SelectedProtocolReplyLength;
  ReleaseReaderLock(context);
  return selected != SCARD_PROTOCOL_UNDEFINED ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST;
}
