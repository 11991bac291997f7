// Power management. The driver owns its device's power policy: for every
// system power request it asks for the matching device power request on its
// own stack and waits for it (at most 5 s) before the system request goes
// down. On the way to D3 it checks the card once more; on the way back to
// D0 and to the working state it makes the presence poll read the card state
// afresh before any smart-card request is served.
#pragma once

#include "driver/device/device_context.h"

// 100-ns units, relative: the wait for a requested device power request.
constexpr LONGLONG DevicePowerRequestWait = -50'000'000;

// IRP_MJ_POWER.
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// The callback of PoRequestPowerIrp: Context is the event to signal.
void NTAPI PowerRequestComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState, PVOID Context,
                                PIO_STATUS_BLOCK IoStatus);
// Completion routine of a device power request to D0; Context is the
// DeviceContext. It gives back the request's I/O count and remove lock, last.
NTSTATUS NTAPI DeviceD0Complete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
// Completion routine of every system power request; Context is the
// DeviceContext. It gives back the request's I/O count, last.
NTSTATUS NTAPI SystemPowerComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// The card check on the way to D3: asks the reader for its status and
// reports the card (present when bits 0x20 and 0x08 are both set), which
// completes a waiting tracking request. STATUS_NO_MEDIA when no card.
NTSTATUS CheckCardAtPowerDown(PDEVICE_OBJECT DeviceObject);
// Records a new device power state; TRUE when it is D0.
BOOLEAN SetDevicePowerState(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE State);

// The device state a system state asks for: D0 for the working state; the
// capabilities' mapping while a wait-wake request is pending (D3 for a
// system state the mapping does not cover); D3 otherwise.
DEVICE_POWER_STATE DeviceStateForSystemState(const DEVICE_CAPABILITIES& Capabilities, UCHAR WaitWakePending,
                                             SYSTEM_POWER_STATE SystemState);
