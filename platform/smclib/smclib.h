// The smart-card driver library as a reader driver sees it: the shared
// record SMARTCARD_EXTENSION and the records inside it, laid out as the
// platform's smclib.h publishes them for each processor, and the library
// calls the driver makes. Neither MinGW-w64 nor Wine ships this header, so
// the kernel images are built against this one too; the library stand-in's
// own workings are in library.h.
//
// A reader driver owns the extension (it is the head of its device
// extension), fills its identity, capabilities and reader functions, and the
// library reads and writes the rest. OsData is the library's own.
#pragma once

#include "platform/kernel/wdm.h"
#include "platform/smclib/winsmcrd.h"

constexpr ULONG SMCLIB_VERSION = 0x150;

// Slots of the reader-function table.
constexpr ULONG RDF_CARD_POWER = 0;
constexpr ULONG RDF_TRANSMIT = 1;
constexpr ULONG RDF_CARD_EJECT = 2;
constexpr ULONG RDF_READER_SWALLOW = 3;
constexpr ULONG RDF_CARD_TRACKING = 4;
constexpr ULONG RDF_SET_PROTOCOL = 5;
constexpr ULONG RDF_DEBUG_LEVEL = 6;
constexpr ULONG RDF_CARD_CONFISCATE = 7;
constexpr ULONG RDF_IOCTL_VENDOR = 8;
constexpr ULONG RDF_ATR_PARSE = 9;
constexpr ULONG RDF_SLOT_COUNT = 16;

struct SMARTCARD_EXTENSION;
using PSMARTCARD_EXTENSION = SMARTCARD_EXTENSION*;
// The reader driver's own record; the library only carries the pointer.
struct READER_EXTENSION;
using PREADER_EXTENSION = READER_EXTENSION*;
struct SMARTCARD_OS_DATA;
using PSMARTCARD_OS_DATA = SMARTCARD_OS_DATA*;
struct PERF_INFO;
using PPERF_INFO = PERF_INFO*;

// An ASCII attribute string with its length.
struct SCARD_ATTR_STRING {
  USHORT Length;
  UCHAR Buffer[MAXIMUM_ATTR_STRING_LENGTH];
};

struct VENDOR_ATTR {
  SCARD_ATTR_STRING VendorName;
  SCARD_ATTR_STRING IfdType;
  // Tells readers of the same type apart.
  ULONG UnitNo;
  struct {
    USHORT BuildNumber;
    UCHAR VersionMinor;
    UCHAR VersionMajor;
  } IfdVersion;
  SCARD_ATTR_STRING IfdSerialNo;
  ULONG Reserved[3];
};
using PVENDOR_ATTR = VENDOR_ATTR*;

// ISO/IEC 7816-3 clause 8.3 tables 7 and 8: clock rate conversion F with the
// maximum clock fs, and bit rate adjustment D.
struct CLOCK_RATE_CONVERSION {
  const ULONG F;
  const ULONG fs;
};
using PCLOCK_RATE_CONVERSION = CLOCK_RATE_CONVERSION*;

struct BIT_RATE_ADJUSTMENT {
  const ULONG DNumerator;
  const ULONG DDivisor;
};
using PBIT_RATE_ADJUSTMENT = BIT_RATE_ADJUSTMENT*;

constexpr UCHAR PTS_TYPE_DEFAULT = 0x00;
constexpr UCHAR PTS_TYPE_OPTIMAL = 0x01;
constexpr UCHAR PTS_TYPE_USER = 0x02;

struct PTS_DATA {
  UCHAR Type;
  UCHAR Fl;
  UCHAR Dl;
  ULONG CLKFrequency;
  ULONG DataRate;
  UCHAR StopBits;
};
using PPTS_DATA = PTS_DATA*;

struct SCARD_CARD_CAPABILITIES {
  BOOLEAN InversConvention;
  ULONG etu;
  // ISO/IEC 7816-3 bounds an ATR at 33 bytes; the field has room for more.
  struct {
    UCHAR Buffer[64];
    UCHAR Length;
  } ATR;
  struct {
    UCHAR Buffer[16];
    UCHAR Length;
  } HistoricalChars;
  PCLOCK_RATE_CONVERSION ClockRateConversion;
  PBIT_RATE_ADJUSTMENT BitRateAdjustment;
  UCHAR Fl;
  UCHAR Dl;
  UCHAR II;
  UCHAR P;
  UCHAR N;
  ULONG GT;
  struct {
    ULONG Supported;
    ULONG Selected;
  } Protocol;
  struct {
    UCHAR WI;
    ULONG WT;
  } T0;
  struct {
    UCHAR IFSC;
    UCHAR CWI;
    UCHAR BWI;
    UCHAR EDC;
    ULONG CWT;
    ULONG BWT;
    ULONG BGT;
  } T1;
  PTS_DATA PtsData;
  UCHAR Reserved[100 - sizeof(PTS_DATA)];
};
using PSCARD_CARD_CAPABILITIES = SCARD_CARD_CAPABILITIES*;

struct SCARD_READER_CAPABILITIES {
  ULONG SupportedProtocols;
  ULONG Reserved;
  ULONG ReaderType;
  ULONG MechProperties;
  ULONG CurrentState;
  ULONG Channel;
  // Clocks in kHz, data rates in bit/s.
  struct {
    ULONG Default;
    ULONG Max;
  } CLKFrequency;
  struct {
    ULONG Default;
    ULONG Max;
  } DataRate;
  ULONG MaxIFSD;
  ULONG PowerMgmtSupport;
  ULONG CardConfiscated;
  struct SCARD_RATE_LIST {
    PULONG List;
    UCHAR Entries;
  };
  SCARD_RATE_LIST DataRatesSupported;
  SCARD_RATE_LIST CLKFrequenciesSupported;
  UCHAR Reserved1[100 - sizeof(ULONG) - 2 * sizeof(SCARD_RATE_LIST)];
};
using PSCARD_READER_CAPABILITIES = SCARD_READER_CAPABILITIES*;

// The library's request and reply buffers, allocated at SmartcardInitialize
// with the sizes the driver set.
struct SMARTCARD_REQUEST {
  PUCHAR Buffer;
  ULONG BufferSize;
  ULONG BufferLength;
};
using PSMARTCARD_REQUEST = SMARTCARD_REQUEST*;

struct SMARTCARD_REPLY {
  PUCHAR Buffer;
  ULONG BufferSize;
  ULONG BufferLength;
};
using PSMARTCARD_REPLY = SMARTCARD_REPLY*;

struct T0_DATA {
  ULONG Lc;
  ULONG Le;
};
using PT0_DATA = T0_DATA*;

struct T1_DATA {
  // Information field sizes of the card (IFSC) and of the reader (IFSD).
  UCHAR IFSC;
  UCHAR IFSD;
  ULONG BytesReceived;
  ULONG BytesSent;
  ULONG BytesToSend;
  UCHAR LastError;
  BOOLEAN MoreData;
  UCHAR NAD;
  ULONG OriginalState;
  UCHAR RSN;
  UCHAR SSN;
  ULONG State;
  UCHAR Wtx;
  PUCHAR ReplyData;
  BOOLEAN WaitForReply;
  UCHAR InfBytesSent;
  UCHAR Reserved[10 - sizeof(BOOLEAN) - sizeof(UCHAR)];
};
using PT1_DATA = T1_DATA*;

struct SMARTCARD_EXTENSION {
  ULONG Version;
  VENDOR_ATTR VendorAttr;
  // The library calls these as the platform calls a driver: NTAPI.
  NTSTATUS(NTAPI* ReaderFunction[RDF_SLOT_COUNT])(PSMARTCARD_EXTENSION SmartcardExtension);
  SCARD_CARD_CAPABILITIES CardCapabilities;
  ULONG LastError;
  // The caller's data of the request in progress, set by the library before
  // it calls a reader function.
  struct {
    PULONG Information;
    PUCHAR RequestBuffer;
    ULONG RequestBufferLength;
    PUCHAR ReplyBuffer;
    ULONG ReplyBufferLength;
  } IoRequest;
  ULONG MajorIoControlCode;
  ULONG MinorIoControlCode;
  PSMARTCARD_OS_DATA OsData;
  SCARD_READER_CAPABILITIES ReaderCapabilities;
  PREADER_EXTENSION ReaderExtension;
  SMARTCARD_REPLY SmartcardReply;
  SMARTCARD_REQUEST SmartcardRequest;
  T0_DATA T0;
  T1_DATA T1;
  PPERF_INFO PerfInfo;
  ULONG Reserved[25 - sizeof(PPERF_INFO)];
};

// What the library counts of the transmissions it hands to the reader:
// commands, command and response bytes without the SCARD_IO_REQUEST
// headers, and the time spent in the reader function (100-ns units).
struct PERF_INFO {
  ULONG NumTransmissions;
  ULONG BytesSent;
  ULONG BytesReceived;
  LARGE_INTEGER IoTickCount;
};

// The head of the library's per-device data, as published. DeviceObject is
// the reader's device object (the driver stores it after
// SmartcardInitialize); CurrentIrp is the request being served;
// NotificationIrp a waiting card-tracking request; SpinLock guards
// NotificationIrp and the card state change that completes it. Mutex and
// whatever follows SpinLock are the library's alone.
struct SMARTCARD_OS_DATA {
  PSMARTCARD_EXTENSION SmartcardExtension;
  PDEVICE_OBJECT DeviceObject;
  PIRP CurrentIrp;
  PIRP NotificationIrp;
  KMUTEX Mutex;
  KSPIN_LOCK SpinLock;
};

// The library's calls: C names, and the platform's calling convention.
extern "C" {

// Checks Version, allocates OsData with the request and reply buffers of the
// sizes the driver set, and takes the remove lock's first reference.
// STATUS_SUCCESS; STATUS_INVALID_PARAMETER (no extension, or a buffer size
// above the library's maximum); STATUS_UNSUCCESSFUL (Version older than the
// library takes, or newer than SMCLIB_VERSION); STATUS_INVALID_DEVICE_STATE
// (OsData already exists); STATUS_INSUFFICIENT_RESOURCES. On failure
// nothing stays allocated and OsData is null.
NTSTATUS NTAPI SmartcardInitialize(PSMARTCARD_EXTENSION SmartcardExtension);
// Frees what SmartcardInitialize allocated; OsData is null afterwards. A
// tracking request still waiting is completed with STATUS_CANCELLED.
VOID NTAPI SmartcardExit(PSMARTCARD_EXTENSION SmartcardExtension);

// STATUS_SUCCESS until SmartcardReleaseRemoveLockAndWait has begun,
// STATUS_DELETE_PENDING after it.
NTSTATUS NTAPI SmartcardAcquireRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension);
VOID NTAPI SmartcardReleaseRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension);
// Gives back SmartcardInitialize's reference, refuses every acquisition
// from now on, and returns once every other holder has released the lock.
// Waits at PASSIVE_LEVEL.
VOID NTAPI SmartcardReleaseRemoveLockAndWait(PSMARTCARD_EXTENSION SmartcardExtension);

// Serves one smart-card device-control request: decodes it, calls the
// reader function of its slot and completes it with the status returned,
// or answers it from the extension. Runs at PASSIVE_LEVEL; requests are
// served one at a time, a second caller waits for the first.
//
// Reader functions other than RDF_IOCTL_VENDOR get a copy of the input in
// SmartcardRequest and reply into SmartcardReply; the bytes they count in
// *IoRequest.Information go back to the caller. RDF_IOCTL_VENDOR gets the
// request (OsData->CurrentIrp) and its system buffer, and counts in the
// request's IoStatus.Information. A status of the error class completes
// the request with information 0 and is kept in LastError.
//
// Statuses of the library's own:
// - STATUS_PENDING: a card-tracking request waits in NotificationIrp;
// - STATUS_DEVICE_BUSY: another card-tracking request waits already;
// - STATUS_INVALID_PARAMETER: less input than the code needs (power and
//   set-protocol 4 bytes, transmit the 8-byte SCARD_IO_REQUEST, attributes
//   a 4-byte tag), more than SmartcardRequest holds, or no system buffer;
// - STATUS_BUFFER_TOO_SMALL: less output than the answer needs (set
//   protocol 4 bytes, transmit 8, state and last error 4, an attribute's
//   value, the PERF_INFO counters);
// - STATUS_NOT_SUPPORTED: no reader function in the slot, an attribute tag
//   the library does not answer, any SET_ATTRIBUTE;
// - STATUS_NO_MEDIA: the ATR attribute while no card is present; a
//   transmit while the card state is SCARD_ABSENT;
// - STATUS_INVALID_DEVICE_REQUEST: not a smart-card control code;
// - STATUS_INVALID_DEVICE_STATE: the library is not initialised; a transmit
//   while the card state is not SCARD_SPECIFIC (after every reset until the
//   next set-protocol), or whose header's dwProtocol is not
//   CardCapabilities.Protocol.Selected. A refused transmit reaches no
//   reader function.
// Otherwise the status is the reader function's.
NTSTATUS NTAPI SmartcardDeviceControl(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp);

// Derives the card capabilities from CardCapabilities.ATR (ISO/IEC 7816-3
// clause 8) and moves a present card on to SCARD_NEGOTIABLE, or to
// SCARD_SPECIFIC with Protocol.Selected set when TA2 names the protocol.
// STATUS_SUCCESS, or STATUS_UNRECOGNIZED_MEDIA for an ATR that is malformed
// (too short, running past its length, wrong TCK) or names a specific
// protocol other than T=0 and T=1; then nothing is changed.
NTSTATUS NTAPI SmartcardUpdateCardCapabilities(PSMARTCARD_EXTENSION SmartcardExtension);

// Writes one entry to the system event log. Insertion and DumpData are
// kept as the platform's call has them.
VOID NTAPI SmartcardLogError(PVOID Object, NTSTATUS ErrorCode, PUNICODE_STRING Insertion, ULONG DumpData);

}  // extern "C"

#include "platform/smclib/layout.h"
