// The library's remove lock, with the platform's IO_REMOVE_LOCK semantics:
// a count of holders that starts at 1 (the device's own reference), a flag
// that refuses new holders once removal has begun, and an event that the
// last release signals.
#include "platform/smclib/library.h"

namespace {

void Release(SMARTCARD_REMOVE_LOCK& lock) {
  if (InterlockedDecrement(&lock.Count) == 0) KeSetEvent(&lock.RemoveEvent, IO_NO_INCREMENT, FALSE);
}

}  // namespace

NTSTATUS NTAPI SmartcardAcquireRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension) {
  SMARTCARD_REMOVE_LOCK& lock = LibraryData(SmartcardExtension)->RemoveLock;
  InterlockedIncrement(&lock.Count);
  // Counted first and tested after, so that a removal that begins in
  // between either sees this holder or is seen by it.
  if (InterlockedCompareExchange(&lock.Removed, 0, 0) != 0) {
    Release(lock);
    return STATUS_DELETE_PENDING;
  }
  return STATUS_SUCCESS;
}

VOID NTAPI SmartcardReleaseRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension) {
  Release(LibraryData(SmartcardExtension)->RemoveLock);
}

VOID NTAPI SmartcardReleaseRemoveLockAndWait(PSMARTCARD_EXTENSION SmartcardExtension) {
  SMARTCARD_REMOVE_LOCK& lock = LibraryData(SmartcardExtension)->RemoveLock;
  InterlockedExchange(&lock.Removed, 1);
  Release(lock);
  KeWaitForSingleObject(&lock.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
}
