// Reading fixed positions of the reply that the last exchange left in
// ExchangeBuffer, in the frame generation of FirmwareVersion. Every read is
// checked against what the reply announced and what arrived: a reply too
// short for the position gives STATUS_DEVICE_DATA_ERROR, never a stale byte.
#pragma once

#include "driver/device/device_context.h"

// Information byte Index of the reply.
NTSTATUS ReadReplyByte(const DeviceContext* Context, ULONG Index, PUCHAR Value);

// The two status bytes that end the information field of a reader command's reply.
NTSTATUS ReadReplyStatusBytes(const DeviceContext* Context, PUCHAR StatusBytes);
