// The sizes of the platform's kernel records on each processor, in the
// platform's names only: the stand-in's records must have them, and the
// kernel image build holds MinGW-w64's DDK headers to the same list.
#pragma once

static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4 && sizeof(USHORT) == 2 && sizeof(WCHAR) == 2);
static_assert(sizeof(ULONG_PTR) == sizeof(void*) && sizeof(KSPIN_LOCK) == sizeof(void*));
// 64-bit integers inside records are 8-byte aligned on 32-bit Windows too.
static_assert(sizeof(LARGE_INTEGER) == 8 && alignof(LARGE_INTEGER) == 8);
static_assert(sizeof(DEVICE_CAPABILITIES) == 64);

#if defined(__x86_64__)
static_assert(sizeof(UNICODE_STRING) == 16 && sizeof(LIST_ENTRY) == 16);
static_assert(sizeof(KEVENT) == 24 && sizeof(KDPC) == 64 && sizeof(KTIMER) == 64 && sizeof(KMUTEX) == 56);
static_assert(sizeof(WORK_QUEUE_ITEM) == 32);
#else
static_assert(sizeof(UNICODE_STRING) == 8 && sizeof(LIST_ENTRY) == 8);
static_assert(sizeof(KEVENT) == 16 && sizeof(KDPC) == 32 && sizeof(KTIMER) == 40 && sizeof(KMUTEX) == 32);
static_assert(sizeof(WORK_QUEUE_ITEM) == 16);
#endif
