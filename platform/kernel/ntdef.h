// Basic Windows types with the widths of the platform headers on both targets:
// ULONG and LONG are 32 bits everywhere, pointers and ULONG_PTR follow the
// processor (8 bytes on x86-64, 4 on 32-bit x86).
#pragma once

#include <cstddef>
#include <cstdint>

// The platform's calling convention for its own routines and for the
// driver routines it calls back: __stdcall on 32-bit x86. Nothing in user
// mode calls the driver with it, so it is empty here; the kernel images get
// the real one, and there a routine declared without it does not compile.
#define NTAPI
#define IN
#define OUT
#define OPTIONAL
#define UNREFERENCED_PARAMETER(P) ((void)(P))

using VOID = void;
using PVOID = void*;
using CHAR = char;
using PCHAR = char*;
using UCHAR = std::uint8_t;
using PUCHAR = UCHAR*;
using CCHAR = char;
using SHORT = std::int16_t;
using CSHORT = std::int16_t;
using USHORT = std::uint16_t;
using PUSHORT = USHORT*;
using LONG = std::int32_t;
using PLONG = LONG*;
using ULONG = std::uint32_t;
using PULONG = ULONG*;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using LONG_PTR = std::intptr_t;
using ULONG_PTR = std::uintptr_t;
using SIZE_T = ULONG_PTR;
using BOOLEAN = UCHAR;
using PBOOLEAN = BOOLEAN*;
using WCHAR = char16_t;  // UTF-16 as on Windows; wchar_t is 32 bits here
using PWCHAR = WCHAR*;
using PWSTR = WCHAR*;
using PCWSTR = const WCHAR*;
using NTSTATUS = LONG;
using KPRIORITY = LONG;

constexpr BOOLEAN TRUE = 1;
constexpr BOOLEAN FALSE = 0;

// Status values are success-class when their top bit is clear: STATUS_TIMEOUT
// (0x102) and STATUS_PENDING (0x103) are successes, warnings (0x8...) are not.
constexpr bool NT_SUCCESS(NTSTATUS status) { return status >= 0; }
constexpr bool NT_ERROR(NTSTATUS status) { return (static_cast<ULONG>(status) >> 30) == 3; }

// 64-bit integers inside records are 8-byte aligned on 32-bit Windows, but only
// 4-byte aligned by the i386 Linux ABI; the explicit alignment keeps the
// Windows layout on both targets.
union alignas(8) LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};
using PLARGE_INTEGER = LARGE_INTEGER*;

union alignas(8) ULARGE_INTEGER {
  struct {
    ULONG LowPart;
    ULONG HighPart;
  } u;
  ULONGLONG QuadPart;
};
using PULARGE_INTEGER = ULARGE_INTEGER*;

struct LIST_ENTRY {
  LIST_ENTRY* Flink;
  LIST_ENTRY* Blink;
};
using PLIST_ENTRY = LIST_ENTRY*;

struct UNICODE_STRING {
  USHORT Length;         // bytes, without a terminating zero
  USHORT MaximumLength;  // bytes
  PWSTR Buffer;
};
using PUNICODE_STRING = UNICODE_STRING*;
using PCUNICODE_STRING = const UNICODE_STRING*;

struct GUID {
  ULONG Data1;
  USHORT Data2;
  USHORT Data3;
  UCHAR Data4[8];
};
using LPGUID = GUID*;
using LPCGUID = const GUID*;

inline bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i) {
    if (a.Data4[i] != b.Data4[i]) return false;
  }
  return true;
}

#define FIELD_OFFSET(type, field) offsetof(type, field)
#define CONTAINING_RECORD(address, type, field) \
  (reinterpret_cast<type*>(reinterpret_cast<PCHAR>(address) - offsetof(type, field)))
