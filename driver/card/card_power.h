// Decisions the card-power, protocol and eject reader functions share:
// functions of the reader's status byte, of a command's status and of the
// reply a card command left.
#pragma once

#include "driver/device/device_context.h"

// The status a reader function reports for a reader command that did not
// return STATUS_SUCCESS: the command's own, except that a reader that did
// not answer in time (STATUS_TIMEOUT, a success-class status) is reported
// as STATUS_IO_TIMEOUT.
NTSTATUS ReaderCommandFailure(NTSTATUS Status);

// Whether the reply that a card command (reset, eject) left in ExchangeBuffer
// found a card: information byte 3 is 0xAD when the reader had none.
// STATUS_SUCCESS, STATUS_NO_MEDIA, or STATUS_DEVICE_DATA_ERROR for a reply
// too short to say.
NTSTATUS ReplyFindsCard(const DeviceContext* Context);
