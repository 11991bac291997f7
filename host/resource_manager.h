// The smart-card resource manager as the driver meets it: it finds the
// reader through its enabled device interface, opens handles on it by name,
// sends every control code with its buffers on the handle opened last, waits
// for card tracking with a time limit after which it cancels, and closes
// (cleanup, then close). Every request comes back as the driver completed
// it; each is also written to the host's journal.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host/control_requests.h"
#include "host/host.h"
#include "host/plugged_reader.h"
#include "platform/kernel/io_user.h"

namespace host {

// The smart-card reader device interface class (winsmcrd.h).
constexpr GUID kSmartCardReaderInterface = {
    0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};

class ResourceManager {
 public:
  explicit ResourceManager(Host& host) : host_(host) {}
  ~ResourceManager();
  ResourceManager(const ResourceManager&) = delete;
  ResourceManager& operator=(const ResourceManager&) = delete;

  // Opens a handle through the reader's interface; `name` is the file name
  // that follows the interface's name ("" for the reader, "PIPE01" for a
  // pipe) and reaches the driver with a leading backslash. While the
  // interface is disabled or gone there is nothing to open by that name:
  // STATUS_OBJECT_NAME_NOT_FOUND, and the driver sees nothing.
  NTSTATUS Open(const PluggedReader& reader, std::string_view name);
  // Closes the handle opened last: cleanup, then close.
  NTSTATUS Close();
  void CloseAll();
  // Safe from any thread: a device's departure asks it on the hot-plug thread.
  bool HasOpenHandle() const;
  // Called after a close that left no handle open.
  void SetLastCloseListener(std::function<void()> listener) { lastClose_ = std::move(listener); }

  // A control request on the handle opened last, sent as it is and waited
  // for. There must be one. A protocol selection that succeeds is the
  // protocol that later transmit headers carry.
  kernel::IoResult Send(const ControlRequest& request);
  // The same, waited for at most `timeout` (100-ns units); then it is
  // cancelled and its completion (STATUS_CANCELLED unless it raced) returned.
  kernel::IoResult Send(const ControlRequest& request, LONGLONG timeout);
  std::unique_ptr<kernel::UserRequest> Start(const ControlRequest& request);

  // A tracking request, waited for at most `timeout` as above.
  kernel::IoResult Track(bool present, LONGLONG timeout);
  // IOCTL_SMARTCARD_SET_PROTOCOL with the mask.
  kernel::IoResult SetProtocol(ULONG mask);
  // IOCTL_SMARTCARD_TRANSMIT with the header of the protocol selected last
  // (SCARD_PROTOCOL_UNDEFINED before any).
  kernel::IoResult Transmit(std::span<const std::uint8_t> command, ULONG outputLength = kLibraryBufferSize);
  ULONG SelectedProtocol() const { return selectedProtocol_; }
  // On by default: every control request goes to the host's journal. A host
  // that shows no trace turns it off.
  void SetRecording(bool on) { recording_ = on; }

 private:
  struct Handle {
    PFILE_OBJECT file = nullptr;
    std::string name;
  };

  void Record(ULONG code, const kernel::IoResult& result, const char* note = nullptr);

  Host& host_;
  mutable std::mutex lock_;  // handles_; never held while a request is sent
  std::vector<Handle> handles_;
  std::function<void()> lastClose_;
  ULONG selectedProtocol_ = 0;
  bool recording_ = true;
};

}  // namespace host
