// CardPower: cold and warm reset with the card's answer-to-reset, and power
// down. The reader is never told to remove power from the card: a power
// down only checks for the card and records its state.
#include "driver/card/card_power.h"

#include "driver/card/reader_functions.h"
#include "driver/reader/atr_analysis.h"
#include "driver/reader/reader_commands.h"
#include "driver/reader/reader_lock.h"
#include "driver/tracking/card_presence.h"
#include "driver/tracking/card_tracking.h"

namespace {

// What the library is told before the card's own sizes are known.
constexpr UCHAR DefaultIfsc = 32;
constexpr UCHAR ReaderIfsd = 254;

// GetAtr refuses an ATR longer than ISO/IEC 7816-3 allows, so one always
// fits the capabilities' buffer and its one-byte length.
static_assert(AtrMaximumLength <= sizeof(SCARD_CARD_CAPABILITIES::ATR.Buffer));

NTSTATUS ResetAndReadAtr(DeviceContext* Context, PDEVICE_OBJECT Device) {
  SMARTCARD_EXTENSION& extension = Context->SmartcardExtension;
  // The reset and the ATR read are given to the reader with no poll or other
  // command between them.
  AcquireReaderLock(Context);
  // The command's status is not needed: a failed read leaves ReaderStatus
  // at 0x20, no card.
  GetReaderStatus(Device);
  if (!CardPowerSeesCard(Context->ReaderStatus)) {
    SetCardState(Context, 0, 0);
    ReleaseReaderLock(Context);
    return STATUS_NO_MEDIA;
  }

  extension.T1.IFSC = DefaultIfsc;
  extension.T1.IFSD = ReaderIfsd;
  const USHORT warm = extension.MinorIoControlCode == SCARD_WARM_RESET ? 1 : 0;
  NTSTATUS status = ResetCard(Device, &extension, warm);
  if (status != STATUS_SUCCESS) {
    ReleaseReaderLock(Context);
    return ReaderCommandFailure(status);
  }
  // Without a whole ATR (no answer in time, a reply cut short, a malformed
  // or overlong ATR) AtrBuffer and ExchangeLength do not describe the card:
  // nothing is published, and the caller learns why.
  status = GetAtr(Device);
  if (status != STATUS_SUCCESS) {
    ReleaseReaderLock(Context);
    return ReaderCommandFailure(status);
  }

  const ULONG atrLength = Context->ExchangeLength;
  // The caller's buffer is checked before anything is written to it. The
  // card has been reset all the same, so the library and the T=1 state
  // follow it below even when the caller cannot take the ATR.
  const BOOLEAN replyFits = extension.IoRequest.ReplyBuffer != nullptr &&
                            extension.IoRequest.ReplyBufferLength >= atrLength;
  if (replyFits) {
    RtlCopyMemory(extension.IoRequest.ReplyBuffer, Context->AtrBuffer, atrLength);
    *extension.IoRequest.Information = atrLength;
  }
  RtlCopyMemory(extension.CardCapabilities.ATR.Buffer, Context->AtrBuffer, atrLength);
  extension.CardCapabilities.ATR.Length = static_cast<UCHAR>(atrLength);
  extension.T1.IFSC = Context->CardIfsc;
  status = SmartcardUpdateCardCapabilities(&extension);
  // A reset starts the block protocol afresh: both sides count their
  // I-blocks from N(S) 0 again (ISO/IEC 7816-3 clause 11).
  Context->T1Sequence = 0;
  ReleaseReaderLock(Context);
  return replyFits ? status : STATUS_BUFFER_TOO_SMALL;
}

NTSTATUS RecordPowerDown(DeviceContext* Context, PDEVICE_OBJECT Device) {
  AcquireReaderLock(Context);
  const NTSTATUS status = GetReaderStatus(Device);
  // The state is only recorded: a waiting tracking request hears of a
  // change from the poll, not from a power down.
  if (!CardPowerSeesCard(Context->ReaderStatus)) {
    SetCardState(Context, 0, 1);
    ReleaseReaderLock(Context);
    return STATUS_NO_MEDIA;
  }
  SetCardState(Context, 1, 1);
  ReleaseReaderLock(Context);
  return status;
}

}  // namespace

NTSTATUS NTAPI CardPower(PSMARTCARD_EXTENSION SmartcardExtension) {
  DeviceContext* context = CONTAINING_RECORD(SmartcardExtension, DeviceContext, SmartcardExtension);
  const PDEVICE_OBJECT device = SmartcardExtension->OsData->DeviceObject;
  *SmartcardExtension->IoRequest.Information = 0;
  switch (SmartcardExtension->MinorIoControlCode) {
    case SCARD_COLD_RESET:
    case SCARD_WARM_RESET:
      return ResetAndReadAtr(context, device);
    case SCARD_POWER_DOWN:
      return RecordPowerDown(context, device);
    default:
      // The library passes on only these three; anything else reaches the reader not at all.
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}
