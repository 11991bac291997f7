// The driver's entry: the dispatch table, the unload routine and the
// system-control handler.
#include "driver/device/driver_entry.h"

#include "driver/device/add_device.h"
#include "driver/device/io_count.h"
#include "driver/device/pipes.h"
#include "driver/device/pnp.h"
#include "driver/device/reader_unit_counter.h"
#include "driver/dispatch/device_control.h"
#include "driver/dispatch/power.h"
#include "driver/tracking/card_tracking.h"

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);
  InterlockedExchange(&ReaderUnitCounter, 0);
  // Every other major function stays with the platform's default handler,
  // which fails the request (reads, writes, internal device control).
  DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
  DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  DriverObject->DriverUnload = UnloadDriver;
  DriverObject->DriverExtension->AddDevice = AddDevice;
  return STATUS_SUCCESS;
}

void NTAPI UnloadDriver(PDRIVER_OBJECT DriverObject) { UNREFERENCED_PARAMETER(DriverObject); }

NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  // No remove lock and no state test: system-control requests pass down in
  // every state, before start and after a query-remove too.
  IoIncrement(DeviceObject);
  IoSkipCurrentIrpStackLocation(Irp);
  const NTSTATUS status = IofCallDriver(GetDeviceContext(DeviceObject)->AttachedDeviceObject, Irp);
  IoDecrement(DeviceObject);
  return status;
}
