// Everything that depends on the reader's firmware version, decided here
// and nowhere else: the frame generation, the reset command's parameter
// byte, and the versions that device start probes with.
#pragma once

#include "platform/kernel/wdm.h"

enum FRAME_GENERATION : UCHAR {
  // Firmware below 2.01: type byte, 24-bit big-endian length, no check byte.
  FrameGenerationOld,
  // Firmware 2.01 and later: address, control, one-byte length, check byte.
  FrameGenerationNew,
};

// Start reads the firmware version with a new-generation frame twice: first
// as if the reader had this version, then, if that fails, this one.
constexpr USHORT FirmwareVersionFirstProbe = 0x221;
constexpr USHORT FirmwareVersionSecondProbe = 0x201;

FRAME_GENERATION FrameGenerationFor(USHORT FirmwareVersion);

// Firmware older than 1.02 is logged as unsupported at start.
bool FirmwareVersionTooOld(USHORT FirmwareVersion);

// Whether the reset command carries its parameter byte: new-generation
// firmware from 2.20 on, except 3.00.
bool ResetCardTakesParameter(USHORT FirmwareVersion);

// The reset command's parameter byte. Bit 0 asks for T=1 and is set when
// bit 0 of MinorIoControlCode is clear (a cold reset, or a protocol mask
// without T=0); bit 1 asks for a warm reset, which firmware 3.01 does not
// take.
UCHAR ResetCardParameter(ULONG MinorIoControlCode, USHORT Warm, USHORT FirmwareVersion);
