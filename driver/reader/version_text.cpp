// Parsing the firmware version characters.
#include "driver/reader/version_text.h"

namespace {

UCHAR DigitValue(UCHAR c) {
  if (c >= '0' && c <= '9') return static_cast<UCHAR>(c - '0');
  if (c >= 'A' && c <= 'Z') return static_cast<UCHAR>(c - 'A' + 10);
  if (c >= 'a' && c <= 'z') return static_cast<UCHAR>(c - 'a' + 10);
  return 0;
}

}  // namespace

FIRMWARE_VERSION_TEXT ParseFirmwareVersion(FRAME_GENERATION Generation, UCHAR MajorDigit, UCHAR MinorHigh, UCHAR MinorLow) {
  FIRMWARE_VERSION_TEXT version{};
  if (Generation == FrameGenerationNew) {
    version.Major = DigitValue(MajorDigit);
    version.Minor = static_cast<UCHAR>(DigitValue(MinorHigh) * 16 + DigitValue(MinorLow));
  } else {
    version.Major = static_cast<UCHAR>(MajorDigit - '0');
    version.Minor = static_cast<UCHAR>((MinorHigh - '0') * 16 + (MinorLow - '0'));
  }
  return version;
}
