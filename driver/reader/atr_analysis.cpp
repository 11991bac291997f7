// The ATR walk and the block waiting time.
#include "driver/reader/atr_analysis.h"

namespace {

constexpr UCHAR TaPresent = 0x10;
constexpr UCHAR TbPresent = 0x20;
constexpr UCHAR TcPresent = 0x40;
constexpr UCHAR TdPresent = 0x80;

constexpr LONGLONG BlockWaitScale = 3'571'200'000'000LL;
constexpr LONGLONG ClockForFi1 = 3'571'200;
constexpr LONGLONG ClockOtherwise = 4'915'200;
constexpr LONGLONG WorkWaitCycles = 960;
constexpr LONGLONG TimeUnitsPerSecond = 10'000'000;

}  // namespace

NTSTATUS AnalyzeAtr(const UCHAR* Atr, ULONG Available, ATR_ANALYSIS* Analysis) {
  const ULONG limit = Available < AtrMaximumLength ? Available : AtrMaximumLength;
  if (limit < 2) return STATUS_DEVICE_DATA_ERROR;

  // T0: Y1 in the high nibble, K (historical bytes) in the low nibble.
  UCHAR y = Atr[1];
  const ULONG historical = y & 0x0F;
  UCHAR check = y;
  ULONG p = 2;
  UCHAR ifsc = AtrDefaultIfsc;
  UCHAR packed = AtrDefaultPacked;
  BOOLEAN hasTck = FALSE;

  for (ULONG i = 1;; ++i) {
    if ((y & TaPresent) != 0) {
      if (p >= limit) return STATUS_DEVICE_DATA_ERROR;
      if (i == 1) packed = static_cast<UCHAR>((packed & 0xF0) | (Atr[p] >> 4));  // FI of TA1
      if (i == 3) ifsc = Atr[p];                                                // TA3
      check ^= Atr[p++];
    }
    if ((y & TbPresent) != 0) {
      if (p >= limit) return STATUS_DEVICE_DATA_ERROR;
      if (i == 3) packed = static_cast<UCHAR>((packed & 0x0F) | (Atr[p] & 0xF0));  // BWI of TB3
      check ^= Atr[p++];
    }
    if ((y & TcPresent) != 0) {
      if (p >= limit) return STATUS_DEVICE_DATA_ERROR;
      check ^= Atr[p++];
    }
    if ((y & TdPresent) == 0) break;
    if (p >= limit) return STATUS_DEVICE_DATA_ERROR;
    y = Atr[p++];
    check ^= y;
    // Clause 8.2.5: TCK is absent only when T=0 alone is indicated; any TD
    // naming another protocol, wherever it stands, makes it present.
    if ((y & 0x0F) != 0) hasTck = TRUE;
  }

  if (historical > limit - p) return STATUS_DEVICE_DATA_ERROR;
  for (ULONG i = 0; i < historical; ++i) check ^= Atr[p++];
  if (hasTck) {
    if (p >= limit) return STATUS_DEVICE_DATA_ERROR;
    ++p;
  }

  Analysis->Length = p;
  Analysis->Ifsc = ifsc;
  Analysis->Packed = packed;
  Analysis->HasTck = hasTck;
  Analysis->Tck = check;
  return STATUS_SUCCESS;
}

LONGLONG BlockWaitTimeFromPacked(UCHAR Packed) {
  const ULONG bwi = Packed >> 4;
  return (static_cast<LONGLONG>(1) << bwi) * BlockWaitScale / ReaderClock(Packed & 0x0F);
}

LONGLONG ReaderClock(UCHAR Fi) { return Fi == 1 ? ClockForFi1 : ClockOtherwise; }

LONGLONG WorkWaitTime(UCHAR Wi, UCHAR Fi, ULONG ClockRateFactor) {
  return static_cast<LONGLONG>(Wi) * WorkWaitCycles * ClockRateFactor * TimeUnitsPerSecond / ReaderClock(Fi);
}
