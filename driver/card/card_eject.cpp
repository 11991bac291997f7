// CardEject: the reader's eject command, and the card recorded as absent.
#include "driver/card/card_power.h"
#include "driver/card/reader_functions.h"
#include "driver/reader/reader_commands.h"
#include "driver/reader/reader_lock.h"
#include "driver/tracking/card_tracking.h"

NTSTATUS NTAPI CardEject(PSMARTCARD_EXTENSION SmartcardExtension) {
  DeviceContext* context = CONTAINING_RECORD(SmartcardExtension, DeviceContext, SmartcardExtension);
  const PDEVICE_OBJECT device = SmartcardExtension->OsData->DeviceObject;
  *SmartcardExtension->IoRequest.Information = 0;

  AcquireReaderLock(context);
  NTSTATUS status = EjectCard(device);
  if (status != STATUS_SUCCESS) {
    ReleaseReaderLock(context);
    return ReaderCommandFailure(status);
  }
  status = ReplyFindsCard(context);
  if (status != STATUS_SUCCESS && status != STATUS_NO_MEDIA) {
    // A reply too short to say whether there was a card says nothing about it.
    ReleaseReaderLock(context);
    return status;
  }
  // Either way the slot is empty now, and a waiting tracking request hears of it.
  SetCardState(context, 0, 0);
  ReleaseReaderLock(context);
  return status;
}
