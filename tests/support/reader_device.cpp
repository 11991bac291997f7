// Standing a reader device up on the emulated reader, and taking it down.
#include "tests/support/reader_device.h"

#include <gtest/gtest.h>

#include "device/submit_urb.h"
#include "reader/firmware_generation.h"
#include "reader/reader_commands.h"
#include "reader/vendor_ioctl.h"
#include "smclib/event_log.h"

namespace readertest {
namespace {

// The smart-card library allocates its per-device data under a tag of its own.
constexpr ULONG LibraryPoolTag = PoolTag("SmCa");

// Plays the smart-card library's part for the driver's control codes: the
// request becomes the current one, the vendor reader function serves it,
// and the library completes it with the status returned.
NTSTATUS DispatchControlAsLibrary(PDEVICE_OBJECT device, PIRP irp) {
  SMARTCARD_EXTENSION& extension = GetDeviceContext(device)->SmartcardExtension;
  extension.MajorIoControlCode = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
  extension.OsData->CurrentIrp = irp;
  const NTSTATUS status = extension.ReaderFunction[RDF_IOCTL_VENDOR](&extension);
  extension.OsData->CurrentIrp = nullptr;
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS FixtureDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControlAsLibrary;
  return STATUS_SUCCESS;
}

PUCHAR AllocateZeroed(SIZE_T size, ULONG tag = DriverPoolTag) {
  auto block = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, size, tag));
  if (block != nullptr) RtlZeroMemory(block, size);
  return block;
}

template <typename T>
void FreeAndClear(T*& pointer) {
  if (pointer != nullptr) ExFreePool(pointer);
  pointer = nullptr;
}

NTSTATUS ReadDescriptor(PDEVICE_OBJECT device, UCHAR type, PVOID buffer, ULONG length) {
  URB urb{};
  _URB_CONTROL_DESCRIPTOR_REQUEST& request = urb.UrbControlDescriptorRequest;
  request.Hdr.Length = sizeof(request);
  request.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  request.TransferBuffer = buffer;
  request.TransferBufferLength = length;
  request.DescriptorType = type;
  return SubmitUrbSync(device, &urb, UrbUnbounded);
}

}  // namespace

emu::ReaderConfig ReaderWithFirmware(const char* firmware) {
  emu::ReaderConfig config;
  config.firmwareVersion = firmware;
  return config;
}

std::shared_ptr<emu::Card> DualProtocolCard() {
  emu::CardConfig config;
  config.atr.t0 = true;
  config.atr.t1 = true;
  config.atr.historical = {0x45, 0x4D, 0x55};
  return std::make_shared<emu::Card>(config);
}

ReaderDevice::ReaderDevice(emu::ReaderConfig config) : ReaderDevice(std::make_shared<emu::Reader>(std::move(config))) {}

ReaderDevice::ReaderDevice(std::shared_ptr<emu::Reader> reader) : reader_(std::move(reader)), port_(reader_) {
  StandUp();
}

ReaderDevice::~ReaderDevice() { TakeDown(); }

void ReaderDevice::StandUp() {
  smclib::ClearEventLog();
  driver_ = kernel::LoadDriver(u"\\Driver\\ReaderLinkTest", FixtureDriverEntry);
  EXPECT_EQ(IoCreateDevice(driver_, sizeof(DeviceContext), nullptr, FILE_DEVICE_SMARTCARD, 0, TRUE, &device_),
            STATUS_SUCCESS);
  DeviceContext& context = Context();
  RtlZeroMemory(&context, sizeof(context));
  context.MaxTransferSize = ExchangeBufferSize;
  KeInitializeSpinLock(&context.ReaderLock.SpinLock);
  context.ExchangeBuffer = AllocateZeroed(ExchangeBufferSize);
  context.BlockBuffer = AllocateZeroed(BlockBufferSize);
  context.AtrBuffer = AllocateZeroed(AtrBufferSize);
  SMARTCARD_EXTENSION& extension = context.SmartcardExtension;
  extension.ReaderExtension = reinterpret_cast<READER_EXTENSION*>(AllocateZeroed(sizeof(READER_EXTENSION)));
  extension.ReaderExtension->ReaderPowerState = ReaderPowered;
  extension.Version = SMCLIB_VERSION;
  extension.ReaderFunction[RDF_IOCTL_VENDOR] = VendorIoctl;
  extension.SmartcardRequest.BufferSize = ExchangeBufferSize;
  extension.SmartcardReply.BufferSize = ExchangeBufferSize;
  // What SmartcardInitialize provides, and the device object the driver stores after it.
  extension.OsData = reinterpret_cast<SMARTCARD_OS_DATA*>(AllocateZeroed(sizeof(SMARTCARD_OS_DATA), LibraryPoolTag));
  extension.OsData->SmartcardExtension = &extension;
  extension.OsData->DeviceObject = device_;
  KeInitializeSpinLock(&extension.OsData->SpinLock);

  context.PhysicalDeviceObject = port_.PhysicalDeviceObject();
  context.AttachedDeviceObject = IoAttachDeviceToDeviceStack(device_, context.PhysicalDeviceObject);
  device_->Flags &= ~DO_DEVICE_INITIALIZING;

  Configure();
  context.DeviceStarted = 1;
  context.FirmwareVersion = FirmwareVersionFirstProbe;
  startStatus_ = ReadFirmwareVersion(device_);
  if (startStatus_ != STATUS_SUCCESS) {
    context.FirmwareVersion = FirmwareVersionSecondProbe;
    startStatus_ = ReadFirmwareVersion(device_);
  }
}

void ReaderDevice::Configure() {
  DeviceContext& context = Context();
  context.DeviceDescriptor = reinterpret_cast<PUSB_DEVICE_DESCRIPTOR>(AllocateZeroed(sizeof(USB_DEVICE_DESCRIPTOR)));
  EXPECT_EQ(ReadDescriptor(device_, USB_DEVICE_DESCRIPTOR_TYPE, context.DeviceDescriptor, sizeof(USB_DEVICE_DESCRIPTOR)),
            STATUS_SUCCESS);

  USB_CONFIGURATION_DESCRIPTOR header{};
  EXPECT_EQ(ReadDescriptor(device_, USB_CONFIGURATION_DESCRIPTOR_TYPE, &header, sizeof(header)), STATUS_SUCCESS);
  const ULONG total = header.wTotalLength;
  context.ConfigurationDescriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(AllocateZeroed(total));
  EXPECT_EQ(ReadDescriptor(device_, USB_CONFIGURATION_DESCRIPTOR_TYPE, context.ConfigurationDescriptor, total),
            STATUS_SUCCESS);

  USHORT size = 0;
  PURB urb = USBD_CreateConfigurationRequest(context.ConfigurationDescriptor, &size);
  ASSERT_NE(urb, nullptr);
  USBD_INTERFACE_INFORMATION& interface = urb->UrbSelectConfiguration.Interface;
  for (ULONG i = 0; i < interface.NumberOfPipes; ++i) interface.Pipes[i].MaximumTransferSize = context.MaxTransferSize;
  EXPECT_EQ(SubmitUrbSync(device_, urb, UrbUnbounded), STATUS_SUCCESS);
  context.InterfaceInformation = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(AllocateZeroed(interface.Length));
  RtlCopyMemory(context.InterfaceInformation, &interface, interface.Length);
  context.PipeOpenFlags = AllocateZeroed(interface.NumberOfPipes != 0 ? interface.NumberOfPipes : 1);
  ExFreePool(urb);
}

void ReaderDevice::TakeDown() {
  DeviceContext& context = Context();
  context.DeviceStarted = 0;
  if (context.AttachedDeviceObject != nullptr) IoDetachDevice(context.AttachedDeviceObject);
  FreeAndClear(context.ExchangeBuffer);
  FreeAndClear(context.BlockBuffer);
  FreeAndClear(context.AtrBuffer);
  FreeAndClear(context.DeviceDescriptor);
  FreeAndClear(context.ConfigurationDescriptor);
  FreeAndClear(context.InterfaceInformation);
  FreeAndClear(context.PipeOpenFlags);
  FreeAndClear(context.SmartcardExtension.ReaderExtension);
  FreeAndClear(context.SmartcardExtension.OsData);
  IoDeleteDevice(device_);
  kernel::UnloadDriver(driver_);
  EXPECT_EQ(kernel::pool::LiveBlocks(DriverPoolTag), 0u) << "a block tagged TQM9 outlived the device";
}

void ReaderDevice::ClearTrace() {
  port_.ClearTrace();
  reader_->ClearLog();
}

std::vector<Bytes> ReaderDevice::Written() const {
  std::vector<Bytes> written;
  for (const usb::TraceEntry& entry : port_.BulkTrace()) {
    if (entry.kind == usb::TraceEntry::Kind::BulkOut) written.push_back(entry.data);
  }
  return written;
}

std::vector<Bytes> ReaderDevice::ReadPieces() const {
  std::vector<Bytes> pieces;
  for (const usb::TraceEntry& entry : port_.BulkTrace()) {
    if (entry.kind == usb::TraceEntry::Kind::BulkIn && !entry.data.empty()) pieces.push_back(entry.data);
  }
  return pieces;
}

void ReaderDevice::LoadExchange(std::span<const std::uint8_t> frame) {
  RtlCopyMemory(Context().ExchangeBuffer, frame.data(), frame.size());
  Context().ExchangeLength = static_cast<ULONG>(frame.size());
}

Bytes ReaderDevice::ExchangeBytes() const {
  const DeviceContext& context = Context();
  return Bytes(context.ExchangeBuffer, context.ExchangeBuffer + context.ExchangeLength);
}

kernel::IoResult ReaderDevice::Control(ULONG ioControlCode, std::span<const std::uint8_t> input, ULONG outputLength) {
  return kernel::StartDeviceIoControl(nullptr, ioControlCode, input, outputLength, false, device_)->Wait();
}

}  // namespace readertest
