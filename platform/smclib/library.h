// The smart-card library stand-in's own workings, behind what the driver
// sees in smclib.h: the rest of its per-device data, its pool tag and its
// limits. Tests and the stand-in include this; the driver does not.
#pragma once

#include "platform/smclib/smclib.h"

// An IO_REMOVE_LOCK of the library's own: SmartcardInitialize takes the
// first reference, removal gives it back and waits for the others.
struct SMARTCARD_REMOVE_LOCK {
  volatile LONG Count;
  volatile LONG Removed;
  KEVENT RemoveEvent;
};

// The per-device data OsData points to: the published head, then the
// library's own members.
struct SMARTCARD_LIBRARY_DATA : SMARTCARD_OS_DATA {
  // Serves one request at a time: IoRequest and the minor code are shared
  // by all of them. A synchronization event that is signalled while free.
  KEVENT RequestGate;
  SMARTCARD_REMOVE_LOCK RemoveLock;
  // What IoRequest.Information points at while a reader function runs.
  ULONG ReplyLength;
  PERF_INFO Performance;
};

inline SMARTCARD_LIBRARY_DATA* LibraryData(PSMARTCARD_EXTENSION SmartcardExtension) {
  return static_cast<SMARTCARD_LIBRARY_DATA*>(SmartcardExtension->OsData);
}

// Every pool block the library allocates carries this tag.
constexpr ULONG SmartcardLibraryPoolTag = PoolTag("SCLB");

// The oldest extension layout the library accepts in Version.
constexpr ULONG SMCLIB_VERSION_REQUIRED = 0x100;
// Request and reply buffers: a smaller size given by the driver is raised
// to the minimum (a short APDU with its header fits), a larger one than
// the maximum is refused.
constexpr ULONG MIN_BUFFER_SIZE = 288;
constexpr ULONG MAX_BUFFER_SIZE = 0x20000;
