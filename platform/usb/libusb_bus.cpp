// The machine's USB bus through libusb-1.0: one context, one event thread
// that completes every transfer and delivers hot-plug events, and a
// LibusbPort per opened device.
#include <libusb.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "platform/usb/host_bus.h"
#include "platform/usb/libusb_carrier.h"

namespace usb {
namespace {

DeviceAddress AddressOf(libusb_device* device) {
  libusb_device_descriptor descriptor{};
  libusb_get_device_descriptor(device, &descriptor);
  return {descriptor.idVendor, descriptor.idProduct, libusb_get_bus_number(device),
          libusb_get_device_address(device)};
}

class LibusbPort : public BusPort {
 public:
  LibusbPort(libusb_device_handle* handle, EventLoop& loop)
      : BusPort(u"\\Driver\\UsbHost", std::make_unique<LibusbCarrier>(handle, loop)) {}
};

class LibusbBus : public HostBus {
 public:
  explicit LibusbBus(libusb_context* context) : context_(context), loop_(context) {
    events_ = std::thread([this] {
      while (!stop_.load()) {
        timeval tick{1, 0};
        libusb_handle_events_timeout_completed(context_, &tick, nullptr);
        loop_.RunPosted();
      }
    });
  }

  ~LibusbBus() override {
    Watch({});
    stop_ = true;
    libusb_interrupt_event_handler(context_);
    events_.join();
    libusb_exit(context_);
  }

  std::vector<DeviceAddress> Devices() override {
    std::vector<DeviceAddress> found;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context_, &list);
    for (ssize_t i = 0; i < count; ++i) found.push_back(AddressOf(list[i]));
    if (count >= 0) libusb_free_device_list(list, 1);
    return found;
  }

  void Watch(Watcher watcher) override {
    if (registered_) {
      libusb_hotplug_deregister_callback(context_, handle_);
      registered_ = false;
    }
    {
      std::lock_guard<std::mutex> guard(lock_);
      watcher_ = std::move(watcher);
    }
    if (!watcher_.arrived && !watcher_.left) return;
    // ENUMERATE: arrival for the devices already there, on this thread.
    const int result = libusb_hotplug_register_callback(
        context_, static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
        LIBUSB_HOTPLUG_ENUMERATE, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, Event,
        this, &handle_);
    registered_ = result == LIBUSB_SUCCESS;
  }

  std::unique_ptr<BusPort> OpenPort(const DeviceAddress& device, std::string* error) override {
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context_, &list);
    libusb_device_handle* handle = nullptr;
    int result = LIBUSB_ERROR_NOT_FOUND;
    for (ssize_t i = 0; i < count && handle == nullptr; ++i) {
      if (AddressOf(list[i]) == device) result = libusb_open(list[i], &handle);
    }
    if (count >= 0) libusb_free_device_list(list, 1);
    if (handle == nullptr) {
      *error = "cannot open USB device " + FormatDevice(device) + ": " + libusb_strerror(result) +
               (result == LIBUSB_ERROR_ACCESS ? " (give your user access with a udev rule, see README.md)" : "");
      return nullptr;
    }
    return std::make_unique<LibusbPort>(handle, loop_);
  }

 private:
  static int LIBUSB_CALL Event(libusb_context*, libusb_device* device, libusb_hotplug_event event, void* self) {
    auto& bus = *static_cast<LibusbBus*>(self);
    const DeviceAddress address = AddressOf(device);
    std::lock_guard<std::mutex> guard(bus.lock_);
    const auto& call = event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED ? bus.watcher_.arrived : bus.watcher_.left;
    if (call) call(address);
    return 0;
  }

  libusb_context* const context_;
  EventLoop loop_;
  std::atomic<bool> stop_{false};
  std::thread events_;
  std::mutex lock_;  // the watcher
  Watcher watcher_;
  libusb_hotplug_callback_handle handle_ = 0;
  bool registered_ = false;
};

}  // namespace

std::unique_ptr<HostBus> HostBus::Open(std::string* error) {
  libusb_context* context = nullptr;
  const int result = libusb_init(&context);
  if (result != LIBUSB_SUCCESS) {
    *error = std::string("libusb_init: ") + libusb_strerror(result);
    return nullptr;
  }
  if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
    libusb_exit(context);
    *error = "this libusb has no hot-plug support";
    return nullptr;
  }
  return std::make_unique<LibusbBus>(context);
}

}  // namespace usb
