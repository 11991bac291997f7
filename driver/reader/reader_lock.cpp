// AcquireReaderLock and ReleaseReaderLock.
#include "driver/reader/reader_lock.h"

#include "driver/reader/delay.h"

namespace {

constexpr ULONG ReaderLockRetryMilliseconds = 100;

}  // namespace

NTSTATUS AcquireReaderLock(DeviceContext* Context) {
  const PKTHREAD self = KeGetCurrentThread();
  READER_LOCK& lock = Context->ReaderLock;
  for (;;) {
    BOOLEAN acquired = FALSE;
    KIRQL oldIrql;
    KeAcquireSpinLock(&lock.SpinLock, &oldIrql);
    if (lock.Owner == nullptr) {
      lock.Owner = self;
      lock.Depth = 1;
      acquired = TRUE;
    } else if (lock.Owner == self) {
      ++lock.Depth;
      acquired = TRUE;
    }
    KeReleaseSpinLock(&lock.SpinLock, oldIrql);
    if (acquired) return STATUS_SUCCESS;
    DelayMilliseconds(ReaderLockRetryMilliseconds);
  }
}

NTSTATUS ReleaseReaderLock(DeviceContext* Context) {
  const PKTHREAD self = KeGetCurrentThread();
  READER_LOCK& lock = Context->ReaderLock;
  KIRQL oldIrql;
  KeAcquireSpinLock(&lock.SpinLock, &oldIrql);
  if (lock.Owner == self) {
    --lock.Depth;
    if (lock.Depth < 1) {
      lock.Owner = nullptr;
      lock.Depth = 0;
    }
  }
  KeReleaseSpinLock(&lock.SpinLock, oldIrql);
  return STATUS_SUCCESS;
}
