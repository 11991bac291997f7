// CardSetProtocol: selects T=1 or T=0 among the protocols asked for that the
// card offers, and resets the card into it. No PTS is exchanged with the
// card: the reader's reset command takes the protocol in its parameter
// byte, or, on firmware without one, runs T=0 whenever the card offers it.
#include "driver/card/card_protocol.h"

#include "driver/card/card_power.h"
#include "driver/card/reader_functions.h"
#include "driver/reader/atr_analysis.h"
#include "driver/reader/firmware_generation.h"
#include "driver/reader/reader_commands.h"
#include "driver/reader/reader_lock.h"

namespace {

constexpr ULONG ProtocolMaskExamined = 0xFFFF;

// Resets the card into Protocol, a protocol mask: the parameter byte asks
// for T=1 exactly when it lacks T=0. STATUS_NO_MEDIA when the reader had no
// card to reset. A reset starts the block protocol afresh on
// both sides (ISO/IEC 7816-3 clause 11), and undoes any S(IFS request): the
// card's IFSC is its ATR's again.
NTSTATUS ResetCardInto(PDEVICE_OBJECT Device, DeviceContext* Context, ULONG Protocol) {
  const NTSTATUS status = ResetCardFor(Device, Protocol, 0);
  if (status != STATUS_SUCCESS) return ReaderCommandFailure(status);
  const NTSTATUS card = ReplyFindsCard(Context);
  if (card != STATUS_SUCCESS) return card;
  Context->T1Sequence = 0;
  const SCARD_CARD_CAPABILITIES& capabilities = Context->SmartcardExtension.CardCapabilities;
  ATR_ANALYSIS atr;
  if (NT_SUCCESS(AnalyzeAtr(capabilities.ATR.Buffer, capabilities.ATR.Length, &atr))) Context->CardIfsc = atr.Ifsc;
  return STATUS_SUCCESS;
}

}  // namespace

BOOLEAN ReaderPicksProtocol(USHORT FirmwareVersion) {
  return FrameGenerationFor(FirmwareVersion) == FrameGenerationNew && !ResetCardTakesParameter(FirmwareVersion)
             ? TRUE
             : FALSE;
}

ULONG SelectProtocol(ULONG ProtocolMask, ULONG Supported, BOOLEAN ReaderPicksProtocol) {
  const ULONG possible = ProtocolMask & ProtocolMaskExamined & Supported;
  const BOOLEAN t1Reachable = !ReaderPicksProtocol || (Supported & SCARD_PROTOCOL_T0) == 0 ? TRUE : FALSE;
  if ((possible & SCARD_PROTOCOL_T1) != 0 && t1Reachable) return SCARD_PROTOCOL_T1;
  if ((possible & SCARD_PROTOCOL_T0) != 0) return SCARD_PROTOCOL_T0;
  return SCARD_PROTOCOL_UNDEFINED;
}

NTSTATUS NTAPI CardSetProtocol(PSMARTCARD_EXTENSION SmartcardExtension) {
  DeviceContext* context = CONTAINING_RECORD(SmartcardExtension, DeviceContext, SmartcardExtension);
  const PDEVICE_OBJECT device = SmartcardExtension->OsData->DeviceObject;
  auto& request = SmartcardExtension->IoRequest;
  auto& protocol = SmartcardExtension->CardCapabilities.Protocol;
  // Refused before the card is touched: the answer would not fit.
  if (request.ReplyBuffer == nullptr || request.ReplyBufferLength < SelectedProtocolReplyLength) {
    return STATUS_BUFFER_TOO_SMALL;
  }

  // Under ReaderLock the poll cannot report the card gone between the reset
  // and the state written below.
  AcquireReaderLock(context);
  // While a protocol is in force a new request only resets the card, and
  // the card must come back in the protocol recorded.
  const BOOLEAN specific = SmartcardExtension->ReaderCapabilities.CurrentState == SCARD_SPECIFIC ? TRUE : FALSE;
  const ULONG selected =
      specific ? protocol.Selected
               : SelectProtocol(SmartcardExtension->MinorIoControlCode, protocol.Supported,
                                ReaderPicksProtocol(context->FirmwareVersion));
  // A request that selects nothing resets the card all the same, asking
  // for what its mask asks for. A selection recorded for a reset the reader
  // did not confirm would send the next card command in a protocol the card
  // may not be running.
  const ULONG resetInto = selected != SCARD_PROTOCOL_UNDEFINED ? selected : SmartcardExtension->MinorIoControlCode;
  const NTSTATUS status = ResetCardInto(device, context, resetInto);
  if (status != STATUS_SUCCESS || specific) {
    ReleaseReaderLock(context);
    return status;
  }
  // Nothing asked for that the card offers and the reader reaches: the
  // state stays, and the reply says so with a selection of 0.
  if (selected != SCARD_PROTOCOL_UNDEFINED) SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
  protocol.Selected = selected;
  RtlCopyMemory(request.ReplyBuffer, &selected, SelectedProtocolReplyLength);
  *request.Information = SelectedProtocolReplyLength;
  ReleaseReaderLock(context);
  return selected != SCARD_PROTOCOL_UNDEFINED ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST;
}
