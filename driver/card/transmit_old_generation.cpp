// The old-generation path: the reader runs T=1 itself. The whole command
// goes out in one card frame of type 0x51, and the answer is fetched once
// the reader's transfer status says the card has given it.
#include "driver/card/transmit_paths.h"
#include "driver/reader/reader_commands.h"
#include "driver/reader/reader_frame.h"
#include "driver/reader/transport.h"

namespace {

void BuildOldCardFrame(DeviceContext* context, const UCHAR* command, ULONG commandLength) {
  PUCHAR frame = context->ExchangeBuffer;
  frame[0] = OldT1CardType;
  frame[1] = static_cast<UCHAR>(commandLength >> 16);
  frame[2] = static_cast<UCHAR>(commandLength >> 8);
  frame[3] = static_cast<UCHAR>(commandLength);
  RtlCopyMemory(frame + FrameOverhead, command, commandLength);
  context->ExchangeLength = commandLength + FrameOverhead;
}

// A reader that did not answer in time ends the transmission as a timeout;
// a failed transfer on the bus keeps its own status.
NTSTATUS ReportFailure(NTSTATUS status) { return status == STATUS_TIMEOUT ? STATUS_IO_TIMEOUT : status; }

}  // namespace

NTSTATUS TransmitOldGeneration(PSMARTCARD_EXTENSION SmartcardExtension, ULONG CommandLength) {
  DeviceContext* context = CONTAINING_RECORD(SmartcardExtension, DeviceContext, SmartcardExtension);
  PDEVICE_OBJECT device = SmartcardExtension->OsData->DeviceObject;
  BuildOldCardFrame(context, SmartcardExtension->IoRequest.RequestBuffer + TransmitHeaderLength, CommandLength);
  // The reader acknowledges the frame at once; the card's time is spent
  // while the transfer status is polled.
  context->ExchangeTimeout = ReaderCommandTimeout;
  NTSTATUS status = CommandExchange(device, ReaderCommandBounded);
  if (status != STATUS_SUCCESS) return ReportFailure(status);
  // A refused frame has no answer to wait for: polling would fetch the
  // answer of an earlier command.
  if (IsReaderErrorReply(FrameGenerationOld, context->ExchangeBuffer, context->ExchangeLength)) {
    return STATUS_IO_TIMEOUT;
  }

  // A transfer that failed on the card's side (a state above 2) is a card
  // that did not answer in time.
  status = AwaitTransferResult(device, STATUS_IO_TIMEOUT);
  if (status != STATUS_SUCCESS) return ReportFailure(status);
  const REPLY_LAYOUT answer = DescribeReply(FrameGenerationOld, context->ExchangeBuffer, context->ExchangeLength);
  // A card that gave no answer at all leaves the result empty: that is no
  // response, as on the T=0 path.
  if (answer.InformationPresent == 0) return STATUS_IO_TIMEOUT;
  return PlaceResponse(SmartcardExtension, context->ExchangeBuffer + answer.InformationOffset,
                       answer.InformationPresent);
}
