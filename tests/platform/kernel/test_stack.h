// A stack of small test drivers for the kernel stand-in's own tests: each
// layer dispatches as the test asks (completes at once by default).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/kernel/io_user.h"
#include "platform/kernel/platform.h"

namespace kerneltest {

inline NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

struct Layer {
  PDEVICE_OBJECT device = nullptr;
  PDEVICE_OBJECT lower = nullptr;
  std::function<NTSTATUS(PIRP)> dispatch = [](PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); };
};

inline NTSTATUS TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [](PDEVICE_OBJECT device, PIRP irp) {
    return (*static_cast<Layer**>(device->DeviceExtension))->dispatch(irp);
  };
  return STATUS_SUCCESS;
}

// A bottom device ([0]) and layers attached above it, each with its own driver.
class Stack {
 public:
  explicit Stack(std::size_t layers) : layers_(layers) {
    for (std::size_t i = 0; i < layers; ++i) {
      drivers_.push_back(kernel::LoadDriver(u"\\Driver\\Test", TestDriverEntry));
      IoCreateDevice(drivers_.back(), sizeof(Layer*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &layers_[i].device);
      *static_cast<Layer**>(layers_[i].device->DeviceExtension) = &layers_[i];
      if (i > 0) layers_[i].lower = IoAttachDeviceToDeviceStack(layers_[i].device, layers_[i - 1].device);
      layers_[i].device->Flags &= ~DO_DEVICE_INITIALIZING;
    }
  }
  ~Stack() {
    for (std::size_t i = layers_.size(); i-- > 0;) {
      if (layers_[i].lower != nullptr) IoDetachDevice(layers_[i].lower);
      IoDeleteDevice(layers_[i].device);
      kernel::UnloadDriver(drivers_[i]);
    }
  }
  Layer& operator[](std::size_t i) { return layers_[i]; }

 private:
  std::vector<Layer> layers_;
  std::vector<PDRIVER_OBJECT> drivers_;
};

}  // namespace kerneltest
