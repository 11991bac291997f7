// The reader's own commands. Each takes ReaderLock for its whole exchange
// (so a caller may hold it around several), allows the reply 5 seconds,
// runs every transfer with the 7-second bound, and leaves the reply in
// ExchangeBuffer with its length in ExchangeLength. Each returns the
// exchange's status unchanged (STATUS_TIMEOUT when the reply did not
// complete in time, STATUS_DELETE_PENDING when the device is not usable,
// the bus driver's errors) unless stated otherwise.
#pragma once

#include "driver/device/device_context.h"

// Command bytes.
constexpr UCHAR CommandGetReaderStatus = 0x31;
constexpr UCHAR CommandGetAtr = 0x35;
constexpr UCHAR CommandEjectCard = 0x39;
constexpr UCHAR Command41 = 0x41;
constexpr UCHAR CommandB0 = 0xB0;
constexpr UCHAR CommandReadFirmwareVersion = 0xC0;
constexpr UCHAR CommandD0 = 0xD0;
constexpr UCHAR CommandResetCard = 0xD1;
constexpr UCHAR CommandGetTransferStatus = 0xD2;
constexpr UCHAR CommandGetTransferResult = 0xD3;
constexpr UCHAR CommandD8 = 0xD8;

// ReaderStatus bits.
constexpr UCHAR ReaderStatusCardIn = 0x08;
constexpr UCHAR ReaderStatusCardPowered = 0x10;
constexpr UCHAR ReaderStatusSetUp = 0x20;

// Transfer states of an old-generation card frame (information byte 2 of
// the transfer-status reply): 0 and 1 not yet answered, 2 answered, above
// 2 failed.
constexpr UCHAR TransferAnswered = 2;

// 100-ns units.
constexpr LONGLONG ReaderCommandTimeout = 50'000'000;

// Sets ReaderStatus from the reply and runs the set-up sequence when its
// bit 0x20 is clear (setting the bit). Any status but STATUS_SUCCESS, or a
// reply without a status byte (STATUS_DEVICE_DATA_ERROR), leaves
// ReaderStatus 0x20 and runs no set-up sequence. In the new generation the
// sequence byte moves on only after STATUS_SUCCESS.
NTSTATUS GetReaderStatus(PDEVICE_OBJECT DeviceObject);

// Analyses the ATR in the reply and stores it at the start of AtrBuffer
// (with the computed TCK), its length in ExchangeLength, CardIfsc and
// BlockWaitTime. An ATR that does not fit the reply or is longer than 33
// bytes gives STATUS_DEVICE_DATA_ERROR, ExchangeLength 0, and changes
// nothing else.
NTSTATUS GetAtr(PDEVICE_OBJECT DeviceObject);

// Callers read information byte 3 of the reply: 0xAD means no card.
NTSTATUS EjectCard(PDEVICE_OBJECT DeviceObject);
NTSTATUS SendCommand41(PDEVICE_OBJECT DeviceObject);
// Sets T1Sequence to 0x50 unless it returns an error status.
NTSTATUS SendCommandB0(PDEVICE_OBJECT DeviceObject);
// Sets FirmwareMajor, FirmwareMinor and FirmwareVersion unless it returns
// an error status; STATUS_DEVICE_DATA_ERROR when the reply lacks the
// version characters (nothing is stored then).
NTSTATUS ReadFirmwareVersion(PDEVICE_OBJECT DeviceObject);
// Pauses 10 ms before its exchange and 15 ms after it.
NTSTATUS SendCommandD0(PDEVICE_OBJECT DeviceObject);
// Resets the card, cold or warm (Warm == 1), with the parameter byte built
// from SmartcardExtension->MinorIoControlCode where the firmware takes one.
// Pauses 500 ms first when ReaderStatus is 0x28.
NTSTATUS ResetCard(PDEVICE_OBJECT DeviceObject, PSMARTCARD_EXTENSION SmartcardExtension, USHORT Warm);
// The same with the parameter byte built from MinorIoControlCode as given:
// a protocol mask asks for T=1 exactly when it lacks T=0.
NTSTATUS ResetCardFor(PDEVICE_OBJECT DeviceObject, ULONG MinorIoControlCode, USHORT Warm);
// Callers read information byte 2 of the reply: the transfer state.
NTSTATUS GetTransferStatus(PDEVICE_OBJECT DeviceObject);
// The reply's information field is the card's answer.
NTSTATUS GetTransferResult(PDEVICE_OBJECT DeviceObject);
NTSTATUS SendCommandD8(PDEVICE_OBJECT DeviceObject);

// SendCommandD0, then SendCommand41, under one hold of ReaderLock; their
// results are ignored.
void RunSetUpSequence(PDEVICE_OBJECT DeviceObject);

// After an old-generation card frame: polls GetTransferStatus until the
// state leaves 0 and 1, then fetches the answer with GetTransferResult,
// whose reply is left in ExchangeBuffer. Returns GetTransferResult's
// status; CardFailedStatus for a state above 2 (the caller's own status, so
// that it never stands for a failed transfer on the bus); STATUS_TIMEOUT
// when a status reply did not complete in time; STATUS_IO_TIMEOUT when the
// state stays 0 or 1 for longer than TransferResultTimeLimit; an error
// status of either command at once; STATUS_DEVICE_DATA_ERROR for a status
// reply without its state byte.
NTSTATUS AwaitTransferResult(PDEVICE_OBJECT DeviceObject, NTSTATUS CardFailedStatus);
// 100-ns units: the longest block waiting time an ATR can ask for (BWI 9 at
// FI 1, 51.2 s) with room to spare.
constexpr LONGLONG TransferResultTimeLimit = 600'000'000;
