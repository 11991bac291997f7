// The start sequence and StartReaderDevice.
#include "driver/device/add_device.h"
#include "driver/device/io_count.h"
#include "driver/device/pnp.h"
#include "driver/device/pnp_steps.h"
#include "driver/device/usb_configuration.h"
#include "driver/reader/firmware_generation.h"
#include "driver/reader/reader_commands.h"
#include "driver/reader/reader_lock.h"
#include "driver/reader/transport.h"
#include "driver/tracking/card_presence.h"
#include "driver/tracking/card_tracking.h"
#include "driver/tracking/presence_poll.h"

namespace {

// The reader's information field size, published to the library.
constexpr ULONG ReaderMaxIfsd = 254;

// The first start reads the descriptors, which select the configuration.
// A start after a stop, or after one that failed once the descriptors were
// read, finds them kept and selects the configuration again: the stop left
// the device unconfigured, and its old pipe handles are gone.
NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  if (context->DeviceDescriptor == nullptr) {
    const NTSTATUS status = ReadDeviceDescriptor(DeviceObject);
    if (!NT_SUCCESS(status)) return status;
  }
  if (context->ConfigurationDescriptor == nullptr) return ReadConfigurationDescriptor(DeviceObject);
  return SelectConfiguration(DeviceObject, context->ConfigurationDescriptor);
}

// Every reader command travels on the first two pipes, one bulk pipe each way.
BOOLEAN ReaderPipesPresent(const DeviceContext* Context) {
  return SelectBulkPipe(Context->InterfaceInformation, TRUE) != nullptr &&
                 SelectBulkPipe(Context->InterfaceInformation, FALSE) != nullptr
             ? TRUE
             : FALSE;
}

// Both probes use the newer frame generation; a reader that answers
// replaces FirmwareVersion with its own.
void ProbeFirmwareVersion(PDEVICE_OBJECT DeviceObject) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  context->FirmwareVersion = FirmwareVersionFirstProbe;
  if (ReadFirmwareVersion(DeviceObject) != STATUS_SUCCESS) {
    context->FirmwareVersion = FirmwareVersionSecondProbe;
    ReadFirmwareVersion(DeviceObject);
  }
  const READER_EXTENSION* extension = GetReaderExtension(context);
  context->SmartcardExtension.VendorAttr.IfdVersion.VersionMajor = extension->FirmwareMajor;
  context->SmartcardExtension.VendorAttr.IfdVersion.VersionMinor = extension->FirmwareMinor;
  if (FirmwareVersionTooOld(context->FirmwareVersion)) {
    SmartcardLogError(DeviceObject, EventCodeFirmwareTooOld, nullptr, 0);
  }
}

// Publishes the ATR of the card found at start. Only a clean read that fits
// the library's 64-byte buffer is published; otherwise the card is reported
// without one, and its first reset reads it afresh.
// The read and the copy hold ReaderLock together: the presence poll, armed
// since AddDevice, may otherwise run an exchange in between.
void PublishStartAtr(PDEVICE_OBJECT DeviceObject) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  SCARD_CARD_CAPABILITIES& card = context->SmartcardExtension.CardCapabilities;
  AcquireReaderLock(context);
  const NTSTATUS status = GetAtr(DeviceObject);
  const ULONG length = context->ExchangeLength;
  const BOOLEAN publish = status == STATUS_SUCCESS && length <= sizeof(card.ATR.Buffer) ? TRUE : FALSE;
  if (publish) RtlCopyMemory(card.ATR.Buffer, context->AtrBuffer, length);
  ReleaseReaderLock(context);
  if (!publish) {
    card.ATR.Length = 0;
    return;
  }
  card.ATR.Length = static_cast<UCHAR>(length);
  SmartcardUpdateCardCapabilities(&context->SmartcardExtension);
}

NTSTATUS StartFailed(PDEVICE_OBJECT DeviceObject, NTSTATUS Status) {
  SmartcardLogError(DeviceObject, Status == STATUS_INSUFFICIENT_RESOURCES ? EventCodeNoMemory : EventCodeStartFailed,
                    nullptr, 0);
  return Status;
}

}  // namespace

NTSTATUS StartReaderDevice(PDEVICE_OBJECT DeviceObject) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  NTSTATUS status = ConfigureDevice(DeviceObject);
  if (NT_SUCCESS(status) && !ReaderPipesPresent(context)) status = STATUS_DEVICE_DATA_ERROR;
  if (!NT_SUCCESS(status)) return StartFailed(DeviceObject, status);

  context->DeviceStarted = 1;
  context->SmartcardExtension.ReaderCapabilities.MaxIFSD = ReaderMaxIfsd;
  ProbeFirmwareVersion(DeviceObject);

  GetReaderStatus(DeviceObject);
  UCHAR present = 0;
  if (StartSeesPoweredCard(context->ReaderStatus)) {
    PublishStartAtr(DeviceObject);
    present = 1;
  } else {
    SendCommandD0(DeviceObject);
    SendCommand41(DeviceObject);
  }
  SetCardState(context, present, 0);

  status = IoSetDeviceInterfaceState(&context->SymbolicLinkName, TRUE);
  if (NT_SUCCESS(status)) return status;
  return StartFailed(DeviceObject, status);
}

NTSTATUS HandleStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  // The bus driver starts the device first; the request comes back here.
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, ForwardAndWaitComplete, &event, TRUE, TRUE, TRUE);
  if (IofCallDriver(context->AttachedDeviceObject, Irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  }
  // A device the drivers below could not start is not talked to.
  NTSTATUS status = Irp->IoStatus.Status;
  if (NT_SUCCESS(status)) {
    status = StartReaderDevice(DeviceObject);
  } else {
    StartFailed(DeviceObject, status);
  }

  // Whatever the start came to, the poll may run again. It reads the card
  // state afresh after every start, not only the first: the start counts a
  // card it finds unpowered as none, and after a stop nothing else would ask.
  AllowPresencePoll(context);

  // Last, the request is completed and what it holds given back: a removal
  // may come at once, and waits only for these.
  CompletePnp(Irp, status);
  SmartcardReleaseRemoveLock(&context->SmartcardExtension);
  IoDecrement(DeviceObject);
  return status;
}
