// The transport of the reader's command protocol: one request frame written
// to the bulk-out pipe, its reply gathered from the bulk-in pipe.
#pragma once

#include "driver/device/device_context.h"

// BulkTransfer directions.
constexpr UCHAR TransferWrite = 0;
constexpr UCHAR TransferRead = 1;

// Reader commands, the pass-through and the transfer-status poll run every
// transfer with the 7-second bound of SubmitUrbSync: a reader that takes a
// request and never answers gives its exchange back (STATUS_TIMEOUT) instead
// of holding ReaderLock until the device goes away.
constexpr UCHAR ReaderCommandBounded = 1;

// Started, and not removed, remove-pending or stop-pending.
BOOLEAN IsDeviceUsable(PDEVICE_OBJECT DeviceObject);

// Moves ExchangeLength bytes between the reader and ExchangeBuffer (at
// ReceiveOffset when reading); on a status that is not an error,
// ExchangeLength is the count moved. Bounded == 1 gives up after 7 seconds.
// Returns:
// - STATUS_DELETE_PENDING when the device is not usable (nothing is sent);
// - STATUS_INVALID_PARAMETER when the transfer would leave ExchangeBuffer;
// - STATUS_INVALID_DEVICE_STATE when the interface lacks one bulk-in and one
//   bulk-out pipe as its first two pipes;
// - STATUS_INSUFFICIENT_RESOURCES (logged) when there is no pool for the URB;
// - otherwise SubmitUrbSync's status, STATUS_TIMEOUT included.
NTSTATUS BulkTransfer(PDEVICE_OBJECT DeviceObject, UCHAR Direction, UCHAR Bounded);

// Writes the request frame in ExchangeBuffer[0 .. ExchangeLength), followed
// by a zero-length packet when its length is a multiple of 64, then reads
// the reply in 256-byte transfers, 3 ms apart, until the length announced
// in its header plus 4 bytes has arrived or ExchangeTimeout has passed. The
// caller holds ReaderLock and has set ExchangeTimeout. On return
// ExchangeLength holds the bytes of the reply kept in ExchangeBuffer.
// Returns:
// - the status of the last read once the reply is complete;
// - STATUS_TIMEOUT (success class) when it did not complete in time; the
//   reply may still come, so the next write reads past it first;
// - STATUS_DEVICE_DATA_ERROR when the reply announces more than
//   ExchangeBuffer holds: the rest of it is read and dropped within
//   ExchangeTimeout, and only the bytes of the first reads are kept;
// - an error status of any transfer, at once.
NTSTATUS CommandExchange(PDEVICE_OBJECT DeviceObject, UCHAR Bounded);

// New generation: a failed read (BulkTransfer), or a reply that did not
// come in time (CommandExchange, the T=0 reply), may leave its reply in the
// reader, and the next request's reply would be taken from the queue after
// it. NoteReplyMayBeLeft records that in ReplyMayBeLeft, with the control
// byte the left reply may carry; it does nothing in the old generation.
void NoteReplyMayBeLeft(DeviceContext* Context);

// The next write then first runs this: a status command with the other
// control byte, whose reply is the first that repeats its address and
// control byte (what comes before is dropped). ExchangeBuffer and
// ExchangeLength are kept for the write; a reader command waiting there was
// built with the left reply's control byte (PrepareReaderCommand), so the
// control bytes on the wire keep alternating. Its failure is the write's,
// and the request is not sent: STATUS_TIMEOUT when the status command was
// not answered in time (the reader is silent, as for any command that
// times out), with ReplyMayBeLeft still set.
NTSTATUS ReadPastLeftReply(PDEVICE_OBJECT DeviceObject, UCHAR Bounded);

// The pipe for a direction, chosen by the direction bit of the first pipe;
// null unless the interface's first two pipes are bulk pipes of opposite
// directions within the record's Length.
PUSBD_PIPE_INFORMATION SelectBulkPipe(PUSBD_INTERFACE_INFORMATION Interface, BOOLEAN Read);
