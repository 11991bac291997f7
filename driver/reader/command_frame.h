// What every reader command does before and during its exchange.
#pragma once

#include "driver/device/device_context.h"

// Builds the command's frame in ExchangeBuffer in the generation of
// FirmwareVersion, sets ExchangeLength and the 5-second ExchangeTimeout.
// A new-generation frame carries SequenceByte, which is then toggled when
// ToggleSequence is set; while a reply may be left in the reader, the frame
// takes that reply's control byte (see ReadPastLeftReply). The caller holds
// ReaderLock.
void PrepareReaderCommand(DeviceContext* Context, UCHAR Command, const UCHAR* Parameters, ULONG ParameterCount,
                          BOOLEAN ToggleSequence);

// CommandExchange with the reader commands' bound.
NTSTATUS ExchangeReaderCommand(PDEVICE_OBJECT DeviceObject);

// Takes ReaderLock, prepares (toggling the sequence byte), exchanges, releases.
NTSTATUS RunReaderCommand(PDEVICE_OBJECT DeviceObject, UCHAR Command, const UCHAR* Parameters, ULONG ParameterCount);
