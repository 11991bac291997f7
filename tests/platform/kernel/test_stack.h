// A stack of small test drivers for the kernel stand-in's own tests: each
// layer records what it saw and does what the test asks of it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/kernel/io_user.h"
#include "platform/kernel/platform.h"

namespace kerneltest {

struct Layer;

// What a layer does with a request that reaches its dispatch routine.
using DispatchBehaviour = std::function<NTSTATUS(Layer&, PDEVICE_OBJECT, PIRP)>;

struct Layer {
  std::string name;
  PDEVICE_OBJECT device = nullptr;
  PDEVICE_OBJECT lower = nullptr;
  DispatchBehaviour dispatch;
  std::vector<std::string>* log = nullptr;

  NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  NTSTATUS PassDown(PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
  }
};

// Every test driver object dispatches through the device extension, which
// holds a pointer to its Layer.
inline NTSTATUS DispatchThroughLayer(PDEVICE_OBJECT device, PIRP irp) {
  Layer& layer = **static_cast<Layer**>(device->DeviceExtension);
  return layer.dispatch(layer, device, irp);
}

inline NTSTATUS TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchThroughLayer;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchThroughLayer;
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchThroughLayer;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchThroughLayer;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchThroughLayer;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchThroughLayer;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchThroughLayer;
  return STATUS_SUCCESS;
}

// A bottom device and layers attached above it, each with its own driver.
class Stack {
 public:
  explicit Stack(int layers, bool exclusiveTop = false) : layers_(static_cast<std::size_t>(layers)) {
    for (int i = 0; i < layers; ++i) {
      Layer& layer = layers_[static_cast<std::size_t>(i)];
      layer.name = i == 0 ? "bottom" : (i == layers - 1 ? "top" : "middle");
      layer.log = &log;
      layer.dispatch = [](Layer& self, PDEVICE_OBJECT, PIRP irp) { return self.Complete(irp, STATUS_SUCCESS); };
      drivers_.push_back(kernel::LoadDriver(u"\\Driver\\Test", TestDriverEntry));
      const BOOLEAN exclusive = (exclusiveTop && i == layers - 1) ? TRUE : FALSE;
      IoCreateDevice(drivers_.back(), sizeof(Layer*), nullptr, FILE_DEVICE_UNKNOWN, 0, exclusive, &layer.device);
      *static_cast<Layer**>(layer.device->DeviceExtension) = &layer;
      if (i > 0) layer.lower = IoAttachDeviceToDeviceStack(layer.device, layers_[static_cast<std::size_t>(i - 1)].device);
      layer.device->Flags &= ~DO_DEVICE_INITIALIZING;
    }
  }

  ~Stack() {
    for (std::size_t i = layers_.size(); i-- > 0;) {
      if (layers_[i].lower != nullptr) IoDetachDevice(layers_[i].lower);
      if (layers_[i].device != nullptr) IoDeleteDevice(layers_[i].device);
      kernel::UnloadDriver(drivers_[i]);
    }
  }

  Layer& operator[](std::size_t i) { return layers_[i]; }
  Layer& Top() { return layers_.back(); }
  Layer& Bottom() { return layers_.front(); }
  std::vector<std::string> log;

 private:
  std::vector<Layer> layers_;
  std::vector<PDRIVER_OBJECT> drivers_;
};

}  // namespace kerneltest

// Layer helpers used by the behaviours.
namespace kerneltest {
inline NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}
}  // namespace kerneltest
