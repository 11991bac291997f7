// Device and driver objects: creation, deletion, stacking, and the default
// handler that fails every request a driver does not handle.
#include <new>
#include <set>
#include <string>

#include "platform/kernel/iomgr.h"

namespace kernel::detail {
namespace {

std::mutex g_devicesLock;  // the device tree: attachment links, driver lists, open counts

std::set<PDEVICE_OBJECT>& LiveDevices() {
  static std::set<PDEVICE_OBJECT> devices;
  return devices;
}

constexpr SIZE_T RoundUp(SIZE_T n) { return (n + 15) & ~static_cast<SIZE_T>(15); }

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  Irp->IoStatus.Information = 0;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace

bool IsLiveDevice(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(g_devicesLock);
  return LiveDevices().count(device) != 0;
}

std::mutex& DevicesLock() { return g_devicesLock; }

}  // namespace kernel::detail

using kernel::detail::g_devicesLock;

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
  UNREFERENCED_PARAMETER(DeviceName);
  *DeviceObject = nullptr;
  NTSTATUS planned;
  if (kernel::faults::Take("IoCreateDevice", &planned)) return planned;
  const SIZE_T extensionOffset = kernel::detail::RoundUp(sizeof(DEVICE_OBJECT));
  const SIZE_T deviceExtensionOffset = extensionOffset + kernel::detail::RoundUp(sizeof(DEVOBJ_EXTENSION));
  const SIZE_T size = deviceExtensionOffset + DeviceExtensionSize;
  auto block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, size, kernel::detail::kTagDevice));
  if (block == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(block, size);
  auto device = reinterpret_cast<PDEVICE_OBJECT>(block);
  auto platformExtension = new (block + extensionOffset) DEVOBJ_EXTENSION{};
  device->Type = IO_TYPE_DEVICE;
  device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT));
  device->ReferenceCount = 0;
  device->DriverObject = DriverObject;
  device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
  device->Characteristics = DeviceCharacteristics;
  device->DeviceExtension = DeviceExtensionSize != 0 ? block + deviceExtensionOffset : nullptr;
  device->DeviceType = DeviceType;
  device->StackSize = 1;
  device->DeviceObjectExtension = platformExtension;
  platformExtension->DeviceObject = device;
  platformExtension->Exclusive = Exclusive != 0;
  std::lock_guard<std::mutex> guard(g_devicesLock);
  device->NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = device;
  kernel::detail::LiveDevices().insert(device);
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

void IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  if (!kernel::detail::IsLiveDevice(DeviceObject)) {
    kernel::verifier::Fail("IoDeleteDevice: not a live device object (deleted twice?)");
    return;
  }
  if (kernel::detail::IsHeldBy(DeviceObject)) {
    kernel::verifier::Fail("IoDeleteDevice: a request that this device took was never completed");
  }
  {
    std::lock_guard<std::mutex> guard(g_devicesLock);
    if (DeviceObject->AttachedDevice != nullptr) {
      kernel::verifier::Fail("IoDeleteDevice: another device is still attached above this one");
    }
    if (DeviceObject->DeviceObjectExtension->AttachedTo != nullptr) {
      kernel::verifier::Fail("IoDeleteDevice: the device is still attached to a lower device (IoDetachDevice first)");
    }
    PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
    while (*link != nullptr && *link != DeviceObject) link = &(*link)->NextDevice;
    if (*link == DeviceObject) *link = DeviceObject->NextDevice;
    kernel::detail::LiveDevices().erase(DeviceObject);
  }
  DeviceObject->DeviceObjectExtension->~DEVOBJ_EXTENSION();
  ExFreePool(DeviceObject);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  NTSTATUS planned;
  if (kernel::faults::Take("IoAttachDeviceToDeviceStack", &planned)) return nullptr;
  std::lock_guard<std::mutex> guard(g_devicesLock);
  if (kernel::detail::LiveDevices().count(TargetDevice) == 0) return nullptr;
  PDEVICE_OBJECT top = TargetDevice;
  while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
  top->AttachedDevice = SourceDevice;
  SourceDevice->DeviceObjectExtension->AttachedTo = top;
  SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  return top;
}

void IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  std::lock_guard<std::mutex> guard(g_devicesLock);
  PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
  if (above == nullptr) {
    kernel::verifier::Fail("IoDetachDevice: nothing is attached to this device");
    return;
  }
  above->DeviceObjectExtension->AttachedTo = nullptr;
  TargetDevice->AttachedDevice = nullptr;
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
  std::lock_guard<std::mutex> guard(g_devicesLock);
  while (DeviceObject->AttachedDevice != nullptr) DeviceObject = DeviceObject->AttachedDevice;
  return DeviceObject;
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) { return IoGetAttachedDevice(DeviceObject); }

PDEVICE_OBJECT IoGetLowerDevice(PDEVICE_OBJECT DeviceObject) {
  std::lock_guard<std::mutex> guard(g_devicesLock);
  return DeviceObject->DeviceObjectExtension->AttachedTo;
}

void ObDereferenceObject(PVOID Object) { UNREFERENCED_PARAMETER(Object); }

namespace kernel {

PDRIVER_OBJECT LoadDriver(std::u16string_view name, PDRIVER_INITIALIZE driverEntry, NTSTATUS* status) {
  const SIZE_T nameBytes = (name.size() + 1) * sizeof(WCHAR);
  const SIZE_T size = sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION) + nameBytes;
  auto block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, size, detail::kTagDriver));
  if (block == nullptr) {
    if (status != nullptr) *status = STATUS_INSUFFICIENT_RESOURCES;
    return nullptr;
  }
  RtlZeroMemory(block, size);
  auto driver = reinterpret_cast<PDRIVER_OBJECT>(block);
  auto extension = reinterpret_cast<DRIVER_EXTENSION*>(block + sizeof(DRIVER_OBJECT));
  auto text = reinterpret_cast<PWSTR>(block + sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION));
  RtlCopyMemory(text, name.data(), name.size() * sizeof(WCHAR));
  driver->Type = IO_TYPE_DRIVER;
  driver->Size = static_cast<CSHORT>(sizeof(DRIVER_OBJECT));
  driver->DriverExtension = extension;
  extension->DriverObject = driver;
  driver->DriverName = UNICODE_STRING{static_cast<USHORT>(name.size() * sizeof(WCHAR)),
                                      static_cast<USHORT>(nameBytes), text};
  driver->DriverInit = driverEntry;
  for (PDRIVER_DISPATCH& slot : driver->MajorFunction) slot = detail::InvalidDeviceRequest;
  UNICODE_STRING registryPath{0, 0, nullptr};
  const NTSTATUS result = driverEntry(driver, &registryPath);
  if (status != nullptr) *status = result;
  if (!NT_SUCCESS(result)) {
    ExFreePool(driver);
    return nullptr;
  }
  return driver;
}

void UnloadDriver(PDRIVER_OBJECT driverObject) {
  if (driverObject->DeviceObject != nullptr) {
    verifier::Fail("a driver is unloaded while it still has device objects");
  }
  if (driverObject->DriverUnload != nullptr) driverObject->DriverUnload(driverObject);
  ExFreePool(driverObject);
}

}  // namespace kernel
