// The firmware-version decisions.
#include "driver/reader/firmware_generation.h"

namespace {

constexpr USHORT FirstNewGenerationVersion = 0x201;
constexpr USHORT OldestSupportedVersion = 0x102;
constexpr USHORT FirstVersionWithResetParameter = 0x220;
constexpr USHORT VersionWithoutResetParameter = 0x300;
constexpr USHORT VersionWithoutWarmReset = 0x301;

constexpr UCHAR ResetAsksT1 = 0x01;
constexpr UCHAR ResetIsWarm = 0x02;

}  // namespace

FRAME_GENERATION FrameGenerationFor(USHORT FirmwareVersion) {
  return FirmwareVersion < FirstNewGenerationVersion ? FrameGenerationOld : FrameGenerationNew;
}

bool FirmwareVersionTooOld(USHORT FirmwareVersion) { return FirmwareVersion < OldestSupportedVersion; }

bool ResetCardTakesParameter(USHORT FirmwareVersion) {
  return FrameGenerationFor(FirmwareVersion) == FrameGenerationNew && FirmwareVersion >= FirstVersionWithResetParameter &&
         FirmwareVersion != VersionWithoutResetParameter;
}

UCHAR ResetCardParameter(ULONG MinorIoControlCode, USHORT Warm, USHORT FirmwareVersion) {
  UCHAR parameter = 0;
  if ((MinorIoControlCode & 0x1) == 0) parameter |= ResetAsksT1;
  if (Warm == 1 && FirmwareVersion != VersionWithoutWarmReset) parameter |= ResetIsWarm;
  return parameter;
}
