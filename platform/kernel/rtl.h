// Run-time library helpers.
#pragma once

#include <cstring>

#include "platform/kernel/ntdef.h"

inline void RtlZeroMemory(PVOID Destination, SIZE_T Length) { std::memset(Destination, 0, Length); }
inline void RtlFillMemory(PVOID Destination, SIZE_T Length, UCHAR Fill) { std::memset(Destination, Fill, Length); }
inline void RtlCopyMemory(PVOID Destination, const void* Source, SIZE_T Length) {
  if (Length != 0) std::memcpy(Destination, Source, Length);
}
inline void RtlMoveMemory(PVOID Destination, const void* Source, SIZE_T Length) {
  if (Length != 0) std::memmove(Destination, Source, Length);
}
inline bool RtlEqualMemory(const void* A, const void* B, SIZE_T Length) { return std::memcmp(A, B, Length) == 0; }

void RtlInitUnicodeString(PUNICODE_STRING Destination, PCWSTR Source);
// Frees a string whose buffer the system allocated (IoRegisterDeviceInterface).
void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
