// DelayMilliseconds.
#include "driver/reader/delay.h"

namespace {

constexpr LONGLONG HundredNanosecondsPerMillisecond = 10'000;
constexpr ULONG StallMicroseconds = 50;
constexpr ULONGLONG StallsPerMillisecond = 1000 / StallMicroseconds;

}  // namespace

void DelayMilliseconds(ULONG Milliseconds) {
  if (Milliseconds == 0) return;
  if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(Milliseconds) * HundredNanosecondsPerMillisecond;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    return;
  }
  // A thread at DISPATCH_LEVEL may not sleep.
  const ULONGLONG stalls = static_cast<ULONGLONG>(Milliseconds) * StallsPerMillisecond;
  for (ULONGLONG i = 0; i < stalls; ++i) KeStallExecutionProcessor(StallMicroseconds);
}
