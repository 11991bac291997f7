// The firmware version and the two commands whose parameter byte an
// application sets.
#include "driver/reader/command_frame.h"
#include "driver/reader/firmware_generation.h"
#include "driver/reader/reader_commands.h"
#include "driver/reader/reader_lock.h"
#include "driver/reader/reply.h"
#include "driver/reader/version_text.h"

namespace {

// The version characters follow the reader's product text: major digit,
// the point, two minor digits.
constexpr ULONG VersionMajorIndex = 9;
constexpr ULONG VersionMinorHighIndex = 11;
constexpr ULONG VersionMinorLowIndex = 12;
// Command 0xB0 starts a fresh T=1 exchange in the reader with this state.
constexpr UCHAR T1SequenceAfterCommandB0 = 0x50;

}  // namespace

NTSTATUS ReadFirmwareVersion(PDEVICE_OBJECT DeviceObject) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  AcquireReaderLock(context);
  PrepareReaderCommand(context, CommandReadFirmwareVersion, nullptr, 0, TRUE);
  NTSTATUS status = ExchangeReaderCommand(DeviceObject);
  if (NT_SUCCESS(status)) {
    UCHAR major = 0;
    UCHAR minorHigh = 0;
    UCHAR minorLow = 0;
    if (!NT_SUCCESS(ReadReplyByte(context, VersionMajorIndex, &major)) ||
        !NT_SUCCESS(ReadReplyByte(context, VersionMinorHighIndex, &minorHigh)) ||
        !NT_SUCCESS(ReadReplyByte(context, VersionMinorLowIndex, &minorLow))) {
      status = STATUS_DEVICE_DATA_ERROR;
    } else {
      // The characters are read in the generation the reply came in.
      const FIRMWARE_VERSION_TEXT version =
          ParseFirmwareVersion(FrameGenerationFor(context->FirmwareVersion), major, minorHigh, minorLow);
      READER_EXTENSION* extension = GetReaderExtension(context);
      extension->FirmwareMajor = version.Major;
      extension->FirmwareMinor = version.Minor;
      context->FirmwareVersion = static_cast<USHORT>(version.Major * 256 + version.Minor);
    }
  }
  ReleaseReaderLock(context);
  return status;
}

NTSTATUS SendCommandB0(PDEVICE_OBJECT DeviceObject) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  AcquireReaderLock(context);
  const UCHAR parameters[] = {0x00, context->CommandB0Parameter};
  PrepareReaderCommand(context, CommandB0, parameters, sizeof(parameters), TRUE);
  const NTSTATUS status = ExchangeReaderCommand(DeviceObject);
  if (NT_SUCCESS(status)) context->T1Sequence = T1SequenceAfterCommandB0;
  ReleaseReaderLock(context);
  return status;
}

NTSTATUS SendCommandD8(PDEVICE_OBJECT DeviceObject) {
  DeviceContext* context = GetDeviceContext(DeviceObject);
  AcquireReaderLock(context);
  const UCHAR parameters[] = {0x00, context->CommandD8Parameter};
  PrepareReaderCommand(context, CommandD8, parameters, sizeof(parameters), TRUE);
  const NTSTATUS status = ExchangeReaderCommand(DeviceObject);
  ReleaseReaderLock(context);
  return status;
}
