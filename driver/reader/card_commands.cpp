// The commands that act on the card: reset, ATR, eject, and the transfer
// status and result of an old-generation card frame.
#include "driver/reader/atr_analysis.h"
#include "driver/reader/command_frame.h"
#include "driver/reader/delay.h"
#include "driver/reader/firmware_generation.h"
#include "driver/reader/reader_commands.h"
#include "driver/reader/reader_frame.h"
#include "driver/reader/reader_lock.h"

namespace {

// The reader ignores these parameter bytes of the ATR command, but its
// firmware expects them.
constexpr UCHAR GetAtrParameters[] = {0x0A, 0x00};
// Card in, not powered, set up: the reader needs a moment before a reset.
constexpr UCHAR ReaderStatusNeedsResetPause = 0x28;
constexpr ULONG ResetPauseMilliseconds = 500;
// Two leading bytes before the ATR and two status bytes after it.
constexpr ULONG AtrLeadingBytes = 2;
constexpr ULONG AtrTrailingBytes = 2;

NTSTATUS StoreAtr(DeviceContext* context) {
  const REPLY_LAYOUT layout =
      DescribeReply(FrameGenerationFor(context->FirmwareVersion), context->ExchangeBuffer, context->ExchangeLength);
  // The ATR lies between the leading bytes and the status bytes; a reply
  // that stopped short is trusted no further than two bytes before its end.
  const ULONG framing = AtrLeadingBytes + AtrTrailingBytes;
  const ULONG available = layout.InformationPresent > framing ? layout.InformationPresent - framing : 0;
  const UCHAR* atr = context->ExchangeBuffer + layout.InformationOffset + AtrLeadingBytes;
  ATR_ANALYSIS analysis;
  if (!NT_SUCCESS(AnalyzeAtr(atr, available, &analysis))) {
    context->ExchangeLength = 0;
    return STATUS_DEVICE_DATA_ERROR;
  }
  RtlCopyMemory(context->AtrBuffer, atr, analysis.Length);
  // The reader passes on whatever check byte the card sent; the one kept is computed.
  if (analysis.HasTck) context->AtrBuffer[analysis.Length - 1] = analysis.Tck;
  context->ExchangeLength = analysis.Length;
  context->CardIfsc = analysis.Ifsc;
  context->BlockWaitTime = BlockWaitTimeFromPacked(analysis.Packed);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS GetAtr(PDEVICE_OBJECT DeviceObject) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  AcquireReaderLock(context);
  PrepareReaderCommand(context, CommandGetAtr, GetAtrParameters, sizeof(GetAtrParameters), TRUE);
  NTSTATUS status = ExchangeReaderCommand(DeviceObject);
  if (NT_SUCCESS(status)) {
    const NTSTATUS stored = StoreAtr(context);
    if (!NT_SUCCESS(stored)) status = stored;
  }
  ReleaseReaderLock(context);
  return status;
}

NTSTATUS ResetCard(PDEVICE_OBJECT DeviceObject, PSMARTCARD_EXTENSION SmartcardExtension, USHORT Warm) {
  return ResetCardFor(DeviceObject, SmartcardExtension->MinorIoControlCode, Warm);
}

NTSTATUS ResetCardFor(PDEVICE_OBJECT DeviceObject, ULONG MinorIoControlCode, USHORT Warm) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  AcquireReaderLock(context);
  const UCHAR parameter = ResetCardParameter(MinorIoControlCode, Warm, context->FirmwareVersion);
  const ULONG parameterCount = ResetCardTakesParameter(context->FirmwareVersion) ? 1 : 0;
  PrepareReaderCommand(context, CommandResetCard, &parameter, parameterCount, TRUE);
  if (context->ReaderStatus == ReaderStatusNeedsResetPause) DelayMilliseconds(ResetPauseMilliseconds);
  const NTSTATUS status = ExchangeReaderCommand(DeviceObject);
  ReleaseReaderLock(context);
  return status;
}

NTSTATUS EjectCard(PDEVICE_OBJECT DeviceObject) { return RunReaderCommand(DeviceObject, CommandEjectCard, nullptr, 0); }

NTSTATUS GetTransferStatus(PDEVICE_OBJECT DeviceObject) {
  return RunReaderCommand(DeviceObject, CommandGetTransferStatus, nullptr, 0);
}

NTSTATUS GetTransferResult(PDEVICE_OBJECT DeviceObject) {
  return RunReaderCommand(DeviceObject, CommandGetTransferResult, nullptr, 0);
}
