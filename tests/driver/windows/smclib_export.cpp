// A stand-in SMCLIB.SYS for loading Kt2210p.sys under Wine, which has no
// smart-card library: an export driver with the eight calls the driver
// imports (driver/windows/smclib.def). A driver that is only loaded and
// unloaded makes none of them, so they refuse.
#include "platform/smclib/smclib.h"

// Wine may run an imported image's entry as DllMain: 1 is TRUE there, and
// a success status as the DriverEntry of an export driver.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return 1; }

NTSTATUS NTAPI SmartcardInitialize(PSMARTCARD_EXTENSION) { return STATUS_NOT_SUPPORTED; }
VOID NTAPI SmartcardExit(PSMARTCARD_EXTENSION) {}
NTSTATUS NTAPI SmartcardAcquireRemoveLock(PSMARTCARD_EXTENSION) { return STATUS_DELETE_PENDING; }
VOID NTAPI SmartcardReleaseRemoveLock(PSMARTCARD_EXTENSION) {}
VOID NTAPI SmartcardReleaseRemoveLockAndWait(PSMARTCARD_EXTENSION) {}
NTSTATUS NTAPI SmartcardDeviceControl(PSMARTCARD_EXTENSION, PIRP) { return STATUS_NOT_SUPPORTED; }
NTSTATUS NTAPI SmartcardUpdateCardCapabilities(PSMARTCARD_EXTENSION) { return STATUS_NOT_SUPPORTED; }
VOID NTAPI SmartcardLogError(PVOID, NTSTATUS, PUNICODE_STRING, ULONG) {}
