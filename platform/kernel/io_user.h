// Requests as a user-mode caller and the Plug and Play and power managers
// make them: opening and closing handles by name, buffered device control
// (waited for or left pending), and any request sent to the top of a stack
// and waited for. Every wait is a platform wait.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "platform/kernel/platform.h"

namespace kernel {

struct IoResult {
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
  std::vector<std::uint8_t> output;  // the first `information` bytes of the output buffer
};

// Opens a handle on the stack whose bottom (or any) device is given: the
// create request goes to the top of the stack with the name as FileName.
// An exclusive device admits one open handle at a time (STATUS_ACCESS_DENIED).
NTSTATUS OpenFile(PDEVICE_OBJECT device, std::u16string_view fileName, PFILE_OBJECT* file);
// Cleanup, then close; the file object is freed.
NTSTATUS CloseFile(PFILE_OBJECT file);

// A device-control request in flight.
class UserRequest {
 public:
  ~UserRequest();
  bool Done() const;
  // Waits for completion; with a timeout (100-ns units) it may return early
  // with status STATUS_PENDING.
  IoResult Wait(LONGLONG timeout = -1);
  // IoCancelIrp on the request if it has not completed yet.
  bool Cancel();

  struct State;
  explicit UserRequest(std::shared_ptr<State> state) : state_(std::move(state)) {}

 private:
  std::shared_ptr<State> state_;
};

// A buffered device-control request on an open handle (or a device when
// file is null), returned at once.
std::unique_ptr<UserRequest> StartDeviceIoControl(PFILE_OBJECT file, ULONG ioControlCode,
                                                  std::span<const std::uint8_t> input, ULONG outputLength,
                                                  bool internal = false, PDEVICE_OBJECT device = nullptr);
IoResult DeviceIoControl(PFILE_OBJECT file, ULONG ioControlCode, std::span<const std::uint8_t> input,
                         ULONG outputLength);

// A request built by `fill` in the first stack location, sent to the top of
// the stack of `device`, waited for. Plug and Play requests start with
// STATUS_NOT_SUPPORTED as the platform's do.
IO_STATUS_BLOCK SendIrpAndWait(PDEVICE_OBJECT device, UCHAR majorFunction, UCHAR minorFunction,
                               const std::function<void(IO_STACK_LOCATION&)>& fill = {},
                               NTSTATUS initialStatus = STATUS_NOT_SUPPORTED);

}  // namespace kernel
