// One input's world for the fuzz targets: a fresh platform in simulated
// time, the driver loaded through DriverEntry, a USB function behind an
// emulated port, and the Plug and Play manager's requests from the top.
// Everything is built per input and torn down at the end, where the
// invariants are checked: every request completed (exactly once: the
// verifier aborts on a second completion), the device object gone, and no
// pool block of any tag left, "TQM9" included. A broken invariant aborts,
// which libFuzzer reports as a finding.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "driver/device/device_context.h"
#include "platform/kernel/io_user.h"
#include "platform/kernel/platform.h"
#include "platform/usb/emulated_port.h"

namespace fuzzing {

using Bytes = std::vector<std::uint8_t>;

// Aborts with the message when the condition is false.
void Require(bool condition, std::string_view message);

class DriverSession {
 public:
  DriverSession();
  ~DriverSession();
  DriverSession(const DriverSession&) = delete;
  DriverSession& operator=(const DriverSession&) = delete;

  // Plugs the function in and calls AddDevice; STATUS_SUCCESS or its failure.
  NTSTATUS Plug(std::shared_ptr<usb::UsbFunction> function);
  // IRP_MN_START_DEVICE; a start that fails is followed by the removal, as
  // the Plug and Play manager does.
  NTSTATUS Start();
  IO_STATUS_BLOCK Pnp(UCHAR minor);
  // System sleep (S3, with the device going to D3) and resume.
  void Sleep();
  void Resume();
  // The reader leaves the bus: IRP_MN_SURPRISE_REMOVAL.
  void SurpriseRemove();

  bool Usable() const { return fdo_ != nullptr && !removed_; }
  NTSTATUS Open(std::u16string_view name = u"");
  void Close();
  bool HasHandle() const { return file_ != nullptr; }

  // A buffered device-control request on the open handle (or the device),
  // waited for at most `wait` (100-ns units); a request still pending then
  // is cancelled and its completion waited for. Once the gate has answered
  // STATUS_DEVICE_BUSY, later requests are not sent (and answered so).
  kernel::IoResult Control(ULONG code, const Bytes& input, ULONG outputLength,
                           LONGLONG wait = 30 * kernel::kSecond);
  // Started and left in flight; the session cancels and collects it at the end.
  void StartControl(ULONG code, const Bytes& input, ULONG outputLength);

  PDEVICE_OBJECT Fdo() const { return fdo_; }
  DeviceContext* Context() const { return fdo_ == nullptr ? nullptr : GetDeviceContext(fdo_); }
  usb::EmulatedPort* Port() const { return port_.get(); }

  // Removal (after a surprise removal, alone), unload and the checks; also
  // run by the destructor.
  void TearDown();

 private:
  void Remove();
  void CollectInFlight();

  kernel::Platform platform_{kernel::ClockMode::Simulated};
  PDRIVER_OBJECT driver_ = nullptr;
  std::unique_ptr<usb::EmulatedPort> port_;
  PDEVICE_OBJECT fdo_ = nullptr;
  PFILE_OBJECT file_ = nullptr;
  bool removed_ = false;
  bool surpriseRemoved_ = false;
  bool tornDown_ = false;
  bool gateBusy_ = false;
  std::vector<std::unique_ptr<kernel::UserRequest>> inFlight_;
};

// Little-endian ULONG as bytes, the way control codes take their arguments.
Bytes Ulong(ULONG value);

}  // namespace fuzzing
