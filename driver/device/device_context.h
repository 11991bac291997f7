// The one record the driver keeps per reader: the device object's extension.
// It begins with the smart-card library's SMARTCARD_EXTENSION, so the
// extension pointer the library hands to a reader function is the
// DeviceContext pointer; the driver's own fields follow.
#pragma once

#include <stddef.h>

#include "driver/public/driver.h"
#include "platform/kernel/wdm.h"
#include "platform/smclib/smclib.h"
#include "platform/usb/usb.h"

// The codes the driver writes to the event log with SmartcardLogError.
constexpr NTSTATUS EventCodeNoMemory = static_cast<NTSTATUS>(0xC0100003);
constexpr NTSTATUS EventCodeStartFailed = static_cast<NTSTATUS>(0xC0100002);
constexpr NTSTATUS EventCodeFirmwareTooOld = static_cast<NTSTATUS>(0x80100007);

constexpr ULONG ExchangeBufferSize = 0x10400;
constexpr ULONG AtrBufferSize = 512;
constexpr ULONG BlockBufferSize = 512;
// AtrBuffer holds the card's ATR from offset 0 and the last block sent from here.
constexpr ULONG SavedBlockOffset = 100;

// ReaderPowerState values.
constexpr ULONG ReaderPowered = 1;
constexpr ULONG ReaderPoweredDown = 2;

// The record SMARTCARD_EXTENSION.ReaderExtension points to.
struct READER_EXTENSION {
  UCHAR FirmwareMajor;
  UCHAR FirmwareMinor;
  UCHAR CardPresentAtPowerDown;
  ULONG ReaderPowerState;
};

// Re-entrant for the thread that holds it; other threads poll for it. The
// spin lock guards Owner and Depth only.
struct READER_LOCK {
  KSPIN_LOCK SpinLock;
  PKTHREAD Owner;
  LONG Depth;
};

struct DeviceContext {
  SMARTCARD_EXTENSION SmartcardExtension;

  PDEVICE_OBJECT AttachedDeviceObject;
  PDEVICE_OBJECT PhysicalDeviceObject;
  DEVICE_POWER_STATE CurrentDeviceState;
  PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
  PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
  PUSBD_INTERFACE_INFORMATION InterfaceInformation;
  DEVICE_CAPABILITIES DeviceCapabilities;

  KEVENT IoDrainedEvent;
  KEVENT IoIdleEvent;
  KSPIN_LOCK IoCountLock;
  LONG IoCount;
  PUCHAR PipeOpenFlags;
  UNICODE_STRING SymbolicLinkName;

  UCHAR DeviceRemoved;
  UCHAR RemovePending;
  UCHAR StopPending;
  UCHAR DeviceStarted;
  UCHAR WaitWakePending;
  ULONG MaxTransferSize;

  KDPC PollDpc;
  KTIMER PollTimer;
  PWORK_QUEUE_ITEM PollWorkItem;

  PUCHAR AtrBuffer;
  PUCHAR ExchangeBuffer;
  PUCHAR BlockBuffer;
  ULONG BlockLength;
  ULONG ExchangeLength;
  ULONG ReceiveOffset;
  USHORT FirmwareVersion;
  // Times in 100-ns units. 64-bit fields are 8-byte aligned on 32-bit Windows too.
  alignas(8) LONGLONG ExchangeTimeout;
  alignas(8) LONGLONG BlockWaitTime;
  UCHAR CommandB0Parameter;
  UCHAR T1Sequence;
  UCHAR CommandD8Parameter;
  UCHAR CardIfsc;
  UCHAR SequenceByte;
  UCHAR ReaderStatus;
  // A read failed: the reader may still hold the reply it could not deliver
  // (0x80, with that request's control byte in bit 0x40).
  UCHAR ReplyMayBeLeft;
  READER_LOCK ReaderLock;

  UCHAR PollRequested;
  LONG TimerArmed;
  KSPIN_LOCK PollLock;
  UCHAR PollStopping;
  LONG WorkItemsPending;
  KEVENT PowerRequestEvent;
};

inline DeviceContext* GetDeviceContext(PDEVICE_OBJECT DeviceObject) {
  return static_cast<DeviceContext*>(DeviceObject->DeviceExtension);
}

inline READER_EXTENSION* GetReaderExtension(DeviceContext* Context) {
  return Context->SmartcardExtension.ReaderExtension;
}

// The layout of each target: pointers, spin locks and the platform objects
// take their processor's sizes; the 64-bit times stay 8-byte aligned.
static_assert(offsetof(DeviceContext, SmartcardExtension) == 0);
static_assert(sizeof(READER_EXTENSION) == 8 && offsetof(READER_EXTENSION, ReaderPowerState) == 4);
#if defined(__x86_64__)
static_assert(sizeof(DeviceContext) == 1408);
static_assert(offsetof(DeviceContext, AttachedDeviceObject) == 920 && offsetof(DeviceContext, DeviceCapabilities) == 968 &&
              offsetof(DeviceContext, SymbolicLinkName) == 1104 && offsetof(DeviceContext, PollDpc) == 1136 &&
              offsetof(DeviceContext, ExchangeBuffer) == 1280 && offsetof(DeviceContext, ExchangeTimeout) == 1312 &&
              offsetof(DeviceContext, ReaderLock) == 1336 && offsetof(DeviceContext, PowerRequestEvent) == 1384);
#else
static_assert(sizeof(DeviceContext) == 1128);
static_assert(offsetof(DeviceContext, AttachedDeviceObject) == 796 && offsetof(DeviceContext, DeviceCapabilities) == 820 &&
              offsetof(DeviceContext, SymbolicLinkName) == 928 && offsetof(DeviceContext, PollDpc) == 948 &&
              offsetof(DeviceContext, ExchangeBuffer) == 1032 && offsetof(DeviceContext, ExchangeTimeout) == 1056 &&
              offsetof(DeviceContext, ReaderLock) == 1080 && offsetof(DeviceContext, PowerRequestEvent) == 1112);
#endif
