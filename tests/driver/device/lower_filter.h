// A filter device between the reader's device and the emulated port, for
// bus-driver answers the emulated port never gives: it can change what a
// completed URB says before the driver above sees it, and fail the start.
// Attached to the port's physical device object before AddDevice; taken
// away after the device above it has gone.
#pragma once

#include <functional>
#include <memory>

#include "platform/kernel/platform.h"
#include "platform/kernel/wdm.h"
#include "platform/usb/usb.h"

namespace readertest {

class LowerFilter {
 public:
  using UrbEdit = std::function<void(URB&)>;

  explicit LowerFilter(PDEVICE_OBJECT physicalDeviceObject);
  ~LowerFilter();
  LowerFilter(const LowerFilter&) = delete;
  LowerFilter& operator=(const LowerFilter&) = delete;

  PDEVICE_OBJECT Device() const { return device_; }
  // Applied to every URB that comes back from the port.
  void EditCompletedUrbs(UrbEdit edit) { edit_ = std::move(edit); }
  // IRP_MN_START_DEVICE is completed with this status and not passed down.
  void FailStart(NTSTATUS status) { startFailure_ = status; }
  // IRP_MN_START_DEVICE is answered STATUS_PENDING and passed down 100 ms
  // later from a thread of the filter's, as a bus driver may take its time.
  void PendStart() { pendStart_ = true; }

  // What the filter's own routines use.
  void ApplyEdit(URB& urb) const {
    if (edit_) edit_(urb);
  }
  NTSTATUS StartFailure() const { return startFailure_; }
  bool PendsStart() const { return pendStart_; }
  void PassDownLater(PIRP irp, PDEVICE_OBJECT lower);

  struct Extension;

 private:
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  UrbEdit edit_;
  NTSTATUS startFailure_ = STATUS_SUCCESS;
  bool pendStart_ = false;
  std::unique_ptr<kernel::SystemThread> later_;
};

}  // namespace readertest
