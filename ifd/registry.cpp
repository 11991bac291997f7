// The handler's registry: one host (the driver loaded through DriverEntry)
// for all channels, a channel per Lun, and the ends of a channel's life:
// pcscd's close, the last close that unloads the driver, and exit().
#include "ifd/registry.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

#include "driver/public/driver.h"
#include "host/status_names.h"
#include "host/usb_hotplug.h"
#include "ifd/handler.h"
#include "ifd/log.h"
#include "ifd/signal_mask.h"
#include "ifd/status_mapping.h"
#include "platform/kernel/platform.h"

namespace ifd {
namespace {

// The channels and the host they share. The lock guards the members; it is
// never held while a reader starts or is removed, which takes real time, so
// that one reader's start or removal does not hold up the others' calls.
struct Registry {
  std::mutex lock;
  std::unique_ptr<host::Host> host;
  std::unique_ptr<host::UsbHotplug> usb;  // opened with the first physical reader
  std::map<unsigned long, std::shared_ptr<Channel>> channels;  // open
  std::set<unsigned long> busy;                                // Luns whose reader is starting or being removed
};

// Never destroyed: exit() runs the destructors of statics while pcscd's own
// threads may still be inside the handler, and the platform's threads in
// the host would outlive the platform's statics. CloseAtExit ends it first.
Registry& TheRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

// With the last channel gone: everything the driver allocated must be freed
// and every request completed and freed, before the driver is unloaded.
// Under the registry's lock.
void ReleaseHostLocked(Registry& registry) {
  if (!registry.host || !registry.channels.empty() || !registry.busy.empty()) return;
  const ULONG blocks = kernel::pool::LiveBlocks(DriverPoolTag);
  const std::size_t live = kernel::irps::Live();
  const std::size_t inProgress = kernel::irps::InProgress();
  registry.usb.reset();
  registry.host.reset();
  char text[160];
  std::snprintf(text, sizeof text,
                "last channel closed: driver pool blocks live %lu, requests live %zu, in progress %zu: %s",
                static_cast<unsigned long>(blocks), live, inProgress,
                blocks == 0 && live == 0 && inProgress == 0 ? "clean" : "LEAK");
  if (blocks == 0 && live == 0 && inProgress == 0) {
    log::Info(text);
  } else {
    log::Error(text);
  }
}

// Closes one channel outside the lock, then lets the host go if it was the last.
void CloseAndForget(Registry& registry, unsigned long lun, std::shared_ptr<Channel> channel) {
  channel->Close();
  channel.reset();
  log::Info(LunText(lun) + ": reader closed and removed");
  std::lock_guard<std::mutex> guard(registry.lock);
  registry.busy.erase(lun);
  ReleaseHostLocked(registry);
}

// pcscd may end with exit() and open channels: after a configuration error
// that follows a good entry, or at --auto-exit. The readers are removed and
// the driver unloaded as at a last close, before the statics they use go.
void CloseAtExit() {
  Registry& registry = TheRegistry();
  std::map<unsigned long, std::shared_ptr<Channel>> open;
  {
    std::lock_guard<std::mutex> guard(registry.lock);
    open.swap(registry.channels);
    for (const auto& entry : open) registry.busy.insert(entry.first);
  }
  for (auto& entry : open) CloseAndForget(registry, entry.first, std::move(entry.second));
}

}  // namespace

std::shared_ptr<Channel> FindChannel(unsigned long lun) {
  if ((lun & kSlotMask) != 0) return nullptr;
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.lock);
  const auto found = registry.channels.find(lun);
  return found == registry.channels.end() ? nullptr : found->second;
}

std::string LunText(unsigned long lun) {
  char text[24];
  std::snprintf(text, sizeof text, "Lun 0x%lX", lun);
  return text;
}

Response CreateChannelByName(unsigned long lun, const char* deviceName) {
  std::string error;
  const std::optional<ChannelOptions> options = ParseDeviceName(deviceName, &error);
  if (!options) {
    log::Error(LunText(lun) + ": " + error);
    return kNoSuchDevice;
  }
  log::Configure(options->log, options->verbose);
  if ((lun & kSlotMask) != 0) {
    log::Error(LunText(lun) + ": this reader has one slot, slot 0");
    return kNoSuchDevice;
  }
  Registry& registry = TheRegistry();
  const SignalsBlocked blocked;  // for the threads started below
  std::shared_ptr<Channel> channel;
  {
    std::lock_guard<std::mutex> guard(registry.lock);
    if (registry.channels.count(lun) != 0 || registry.busy.count(lun) != 0) {
      log::Error(LunText(lun) + " is already open");
      return kCommunicationError;
    }
    if (!registry.host) {
      registry.host = std::make_unique<host::Host>(kernel::ClockMode::Real);
      if (registry.host->Driver() == nullptr) {
        log::Error("DriverEntry ended with " + host::StatusWord(registry.host->EntryStatus()));
        registry.host.reset();
        return kCommunicationError;
      }
    }
    if (options->device && !registry.usb) registry.usb = std::make_unique<host::UsbHotplug>();
    registry.busy.insert(lun);
    channel = std::make_shared<Channel>(*registry.host, *options, registry.usb.get());
  }
  // The start takes real time; the other readers go on meanwhile.
  const NTSTATUS opened = channel->Open();
  std::lock_guard<std::mutex> guard(registry.lock);
  registry.busy.erase(lun);
  if (!NT_SUCCESS(opened)) {
    log::Error(LunText(lun) + ": the reader did not start: " + host::StatusWord(opened));
    channel.reset();
    ReleaseHostLocked(registry);
    return MapStatus(opened) == kSuccess ? kCommunicationError : MapStatus(opened);
  }
  registry.channels.emplace(lun, std::move(channel));
  log::Info(LunText(lun) + ": reader \"" + std::string(deviceName != nullptr ? deviceName : "emulated") +
            "\" plugged, started and opened");
  // Registered after everything the channel's life touches exists, so that it
  // runs before their destructors at exit (the latest registered runs first).
  std::atexit(CloseAtExit);
  return kSuccess;
}

Response CreateChannel(unsigned long lun, unsigned long /*channel*/) { return CreateChannelByName(lun, nullptr); }

Response CloseChannel(unsigned long lun) {
  if ((lun & kSlotMask) != 0) return kNoSuchDevice;
  Registry& registry = TheRegistry();
  std::shared_ptr<Channel> channel;
  {
    std::lock_guard<std::mutex> guard(registry.lock);
    const auto found = registry.channels.find(lun);
    if (found == registry.channels.end()) return kNoSuchDevice;
    channel = std::move(found->second);
    registry.channels.erase(found);
    registry.busy.insert(lun);
  }
  CloseAndForget(registry, lun, std::move(channel));
  return kSuccess;
}

std::size_t OpenChannels() {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.lock);
  return registry.channels.size();
}

std::shared_ptr<emu::Reader> EmulatedReader(unsigned long lun) {
  const std::shared_ptr<Channel> channel = FindChannel(lun);
  return channel ? channel->SharedReader() : nullptr;
}

}  // namespace ifd
