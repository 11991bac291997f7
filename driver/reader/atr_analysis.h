// The walk over a card's answer-to-reset (ISO/IEC 7816-3 clause 8.2) and the
// block waiting time derived from it. Pure functions of bytes.
#pragma once

#include "platform/kernel/wdm.h"

// ISO/IEC 7816-3 clause 8.2.1: TS and at most 32 further characters.
constexpr ULONG AtrMaximumLength = 33;
// What the walk assumes without TA3, TA1 and TB3.
constexpr UCHAR AtrDefaultIfsc = 0x20;
constexpr UCHAR AtrDefaultPacked = 0x41;

struct ATR_ANALYSIS {
  ULONG Length;    // TS to TCK inclusive
  UCHAR Ifsc;      // TA3, else AtrDefaultIfsc
  UCHAR Packed;    // BWI (from TB3) in the high nibble, FI (from TA1) in the low nibble
  BOOLEAN HasTck;  // some TD byte names a protocol other than T=0
  UCHAR Tck;       // the check byte computed over T0 to the last historical byte
};

// Walks the Available bytes of an ATR. STATUS_SUCCESS, or
// STATUS_DEVICE_DATA_ERROR when its structure runs past the bytes available
// or past AtrMaximumLength; nothing beyond either is ever read.
NTSTATUS AnalyzeAtr(const UCHAR* Atr, ULONG Available, ATR_ANALYSIS* Analysis);

// 960 x 372 x 2^BWI clock cycles at 3.5712 MHz (FI = 1) or 4.9152 MHz
// (any other FI), in 100-ns units, truncated.
LONGLONG BlockWaitTimeFromPacked(UCHAR Packed);

// The clock the reader gives a card whose TA1 carries Fi: 3,571,200 Hz for
// FI = 1, 4,915,200 Hz otherwise.
LONGLONG ReaderClock(UCHAR Fi);

// ISO/IEC 7816-3 clause 10.2: the T=0 work waiting time, WI x 960 x Fi
// clock cycles (Fi the clock rate conversion factor that FI stands for) at
// ReaderClock(FI), in 100-ns units, truncated. WI 255 at Fi 372 and
// 3.5712 MHz is 25.5 s.
LONGLONG WorkWaitTime(UCHAR Wi, UCHAR Fi, ULONG ClockRateFactor);
