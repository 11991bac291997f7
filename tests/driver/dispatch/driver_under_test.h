// The whole driver as the system sees it: loaded through DriverEntry, a
// reader plugged into the emulated USB port, AddDevice and
// IRP_MN_START_DEVICE from the top, then requests through a handle, power
// transitions and removal. Simulated time.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "driver/device/device_context.h"
#include "emulator/reader/reader.h"
#include "platform/kernel/io_user.h"
#include "platform/kernel/power_manager.h"
#include "platform/usb/emulated_port.h"

namespace dispatchtest {

using Bytes = std::vector<std::uint8_t>;

// A T=1 card (no T=0), IFSC 32.
std::shared_ptr<emu::Card> T1Card();

class DriverUnderTest {
 public:
  explicit DriverUnderTest(emu::ReaderConfig config = Instant(), bool start = true);
  ~DriverUnderTest();

  static emu::ReaderConfig Instant();

  NTSTATUS Start();
  IO_STATUS_BLOCK Pnp(UCHAR minor);
  // Surprise removal (when asked) and removal, as the Plug and Play manager sends them.
  void Remove(bool surprise = false);

  NTSTATUS Open();
  void Close();
  kernel::IoResult Ioctl(ULONG code, const Bytes& input = {}, ULONG outputLength = 0);
  std::unique_ptr<kernel::UserRequest> StartIoctl(ULONG code, const Bytes& input = {}, ULONG outputLength = 0);

  // Powers the card cold and selects T=1, through the library.
  void ResetAndSelectT1();
  ULONG State();

  DeviceContext& Context() const { return *GetDeviceContext(fdo); }
  PDEVICE_OBJECT Fdo() const { return fdo; }

  kernel::Platform platform{kernel::ClockMode::Simulated};
  PDRIVER_OBJECT driver = nullptr;
  std::shared_ptr<emu::Reader> reader;
  std::unique_ptr<usb::EmulatedPort> port;
  PDEVICE_OBJECT fdo = nullptr;
  PFILE_OBJECT file = nullptr;
  bool removed = false;
};

Bytes Ulong(ULONG value);
ULONG AsUlong(const Bytes& bytes);

}  // namespace dispatchtest
