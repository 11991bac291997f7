// The firmware version as the reader spells it: three characters, the major
// digit and two minor digits read as hexadecimal digits ("2.27" is 0x227).
#pragma once

#include "platform/kernel/wdm.h"
#include "driver/reader/firmware_generation.h"

struct FIRMWARE_VERSION_TEXT {
  UCHAR Major;
  UCHAR Minor;
};

// New generation: digits count 0 to 9, letters of either case 10 to 35,
// anything else 0. Old generation: every character counts as itself less
// 0x30. Results are taken modulo 256.
FIRMWARE_VERSION_TEXT ParseFirmwareVersion(FRAME_GENERATION Generation, UCHAR MajorDigit, UCHAR MinorHigh, UCHAR MinorLow);
