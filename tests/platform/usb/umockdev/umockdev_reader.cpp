#include "tests/platform/usb/umockdev/umockdev_reader.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>

#include "emulator/reader/descriptors.h"
#include "platform/kernel/platform.h"

namespace usbtest {

struct Urb {
  UMockdevIoctlData* urb;     // the client's usbdevfs_urb
  UMockdevIoctlData* buffer;  // its buffer
  bool parked = false;
};

struct UmockdevReader::State {
  UMockdevTestbed* testbed = nullptr;
  UMockdevIoctlBase* handler = nullptr;
  mutable std::mutex lock;
  std::shared_ptr<emu::Reader> reader;
  std::uint8_t address = 0;
  std::string syspath;  // of the device; "" while unplugged
  bool plugged = false;
  std::list<Urb> urbs;    // submitted, not reaped
  std::deque<Urb*> done;  // in the order libusb reaps them

  usbdevfs_urb& Of(const Urb& u) { return *reinterpret_cast<usbdevfs_urb*>(u.urb->data); }
  void Done(Urb& u, int status, std::size_t actual) {
    Of(u).status = status;
    Of(u).actual_length = static_cast<int>(actual);
    if (u.parked) kernel::HoldClock();  // taken back: the port releases it when the request completes
    u.parked = false;
    done.push_back(&u);
  }
  void AskIn(Urb& u);
  void WakeLocked() {
    for (Urb& u : urbs) {
      if (u.parked) AskIn(u);
    }
  }
  std::string Node() const {
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03u", address);
    return node;
  }
};

namespace {

constexpr char kHub[] = "/devices/pci0000:00/0000:00:14.0/usb1";

// Errors the way usbfs reports a transfer's end (Documentation/driver-api/usb/error-codes.rst).
int StatusOf(const usb::TransferFailure& failure) {
  return failure.usbdStatus == static_cast<std::int32_t>(0xC0000004) ? -EPIPE : -EPROTO;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  char two[3];
  for (std::uint8_t b : bytes) {
    std::snprintf(two, sizeof two, "%02X", b);
    text += two;
  }
  return text;
}

void Complete(UMockdevIoctlClient* client, int result, int error) {
  umockdev_ioctl_client_complete(client, result, error);
}

gboolean HandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  auto& s = *static_cast<UmockdevReader::State*>(self);
  const gulong request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  std::lock_guard<std::mutex> guard(s.lock);
  GError* error = nullptr;
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      // Without NO_PACKET_SIZE_LIM libusb cuts bulk transfers at 16 KiB.
      UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(std::uint32_t), &error);
      const std::uint32_t value = USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_CONTINUATION;
      std::memcpy(caps->data, &value, sizeof value);
      Complete(client, 0, 0);
      return TRUE;
    }
    case USBDEVFS_GETDRIVER:
      Complete(client, -1, ENODATA);  // no kernel driver holds the interface
      return TRUE;
    case USBDEVFS_REAPURBNDELAY: {
      if (s.done.empty()) {
        Complete(client, -1, s.plugged ? EAGAIN : ENODEV);
        return TRUE;
      }
      Urb* u = s.done.front();
      s.done.pop_front();
      UMockdevIoctlData* pointer = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), &error);
      umockdev_ioctl_data_set_ptr(pointer, 0, u->urb);
      Complete(client, 0, 0);
      umockdev_ioctl_data_unref(u->urb);
      s.urbs.remove_if([u](const Urb& each) { return &each == u; });
      return TRUE;
    }
    default:
      break;
  }
  if (!s.plugged) {
    Complete(client, -1, ENODEV);
    return TRUE;
  }
  switch (request) {
    case USBDEVFS_SUBMITURB: {
      UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &error);
      const usbdevfs_urb& submitted = *reinterpret_cast<usbdevfs_urb*>(data->data);
      Urb& u = s.urbs.emplace_back(Urb{umockdev_ioctl_data_ref(data), nullptr});
      const auto length = static_cast<std::size_t>(submitted.buffer_length);
      u.buffer = umockdev_ioctl_data_resolve(data, offsetof(usbdevfs_urb, buffer), length, &error);
      std::uint8_t* bytes = u.buffer->data;
      const std::uint8_t endpoint = submitted.endpoint;
      if (submitted.type == USBDEVFS_URB_TYPE_CONTROL) {
        // Only GET_DESCRIPTOR (USB 2.0 clause 9.4.3); the setup packet leads the buffer.
        const std::uint16_t wLength = static_cast<std::uint16_t>(bytes[6] | (bytes[7] << 8));
        std::vector<std::uint8_t> descriptor;
        if (bytes[0] == 0x80 && bytes[1] == 0x06) descriptor = s.reader->GetDescriptor(bytes[3], bytes[2]);
        descriptor.resize(std::min<std::size_t>({descriptor.size(), wLength, length - 8}));
        std::copy(descriptor.begin(), descriptor.end(), bytes + 8);
        s.Done(u, descriptor.empty() ? -EPIPE : 0, descriptor.size());
      } else if ((endpoint & 0x80) == 0) {
        const usb::OutResult out =
            s.reader->BulkOut(endpoint, std::span<const std::uint8_t>(bytes, length), kernel::Now());
        s.Done(u, out.failed ? StatusOf(out.failure) : 0, out.failed ? 0 : length);
        s.WakeLocked();  // the frame may have produced a reply a parked IN can take
      } else {
        s.AskIn(u);
      }
      Complete(client, 0, 0);
      return TRUE;
    }
    case USBDEVFS_DISCARDURB: {
      // The argument is the client's URB pointer itself.
      gulong address = 0;
      std::memcpy(&address, arg->data, std::min<std::size_t>(sizeof address, static_cast<std::size_t>(arg->data_len)));
      auto it = std::find_if(s.urbs.begin(), s.urbs.end(), [&](const Urb& u) {
        return u.urb->client_addr == address && std::find(s.done.begin(), s.done.end(), &u) == s.done.end();
      });
      if (it == s.urbs.end()) {
        Complete(client, -1, EINVAL);  // already done: libusb then waits for its reap
        return TRUE;
      }
      s.Done(*it, -ENOENT, 0);
      Complete(client, 0, 0);
      return TRUE;
    }
    case USBDEVFS_SETCONFIGURATION: {
      UMockdevIoctlData* value = umockdev_ioctl_data_resolve(arg, 0, sizeof(int), &error);
      int configuration;
      std::memcpy(&configuration, value->data, sizeof configuration);
      s.reader->SetConfiguration(static_cast<std::uint8_t>(configuration < 0 ? 0 : configuration));
      Complete(client, 0, 0);
      return TRUE;
    }
    case USBDEVFS_RESET:
      // Linux restores the configuration after a reset.
      s.reader->ResetPort();
      s.reader->SetConfiguration(emu::kConfigurationValue);
      Complete(client, 0, 0);
      return TRUE;
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_DISCONNECT_CLAIM:  // libusb_reset_device fails unless this succeeds
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_CLEAR_HALT:
      Complete(client, 0, 0);
      return TRUE;
    default:
      Complete(client, -1, ENOTTY);
      return TRUE;
  }
}

}  // namespace

void UmockdevReader::State::AskIn(Urb& u) {
  const usbdevfs_urb& urb = Of(u);
  usb::InResult in =
      reader->BulkIn(urb.endpoint, static_cast<std::uint32_t>(urb.buffer_length), kernel::Now());
  if (in.kind == usb::InResult::Kind::NotReady) {
    // Asked again when the reader wakes; a NAK with an end is asked again then too.
    if (!u.parked) kernel::ReleaseClock();
    u.parked = true;
    return;
  }
  if (in.kind == usb::InResult::Kind::Failed) {
    Done(u, StatusOf(in.failure), 0);
    return;
  }
  in.data.resize(std::min<std::size_t>(in.data.size(), static_cast<std::size_t>(urb.buffer_length)));
  std::copy(in.data.begin(), in.data.end(), u.buffer->data);
  Done(u, 0, in.data.size());
}

UmockdevReader::UmockdevReader(std::shared_ptr<emu::Reader> reader, std::uint8_t address)
    : state_(std::make_unique<State>()) {
  state_->testbed = umockdev_testbed_new();
  state_->handler = umockdev_ioctl_base_new();
  g_signal_connect(state_->handler, "handle-ioctl", G_CALLBACK(HandleIoctl), state_.get());
  Plug(std::move(reader), address);
}

UmockdevReader::~UmockdevReader() {
  Unplug();
  g_object_unref(state_->handler);
  g_object_unref(state_->testbed);
}

bool UmockdevReader::Available() { return umockdev_in_mock_environment(); }

void UmockdevReader::Plug(std::shared_ptr<emu::Reader> reader, std::uint8_t address) {
  State& s = *state_;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    s.reader = std::move(reader);
    s.address = address;
  }
  const emu::ReaderConfig& config = s.reader->Config();
  const std::vector<std::uint8_t> device = emu::BuildDeviceDescriptor(config);
  const std::vector<std::uint8_t> configuration = emu::BuildConfigurationDescriptor(config);
  std::vector<std::uint8_t> both = device;
  both.insert(both.end(), configuration.begin(), configuration.end());
  const std::string node = s.Node();
  const std::string dev = std::string(kHub) + "/1-" + std::to_string(address);
  char ids[96];
  std::snprintf(ids, sizeof ids, "A: idVendor=%04x\nA: idProduct=%04x\nA: devnum=%u\nA: dev=189:%u\n", config.vendorId,
                config.productId, address, address - 1);
  // The interface is what pcscd's hot-plug looks for (bInterfaceNumber).
  const std::string text = "P: " + dev + "\nN: " + node.substr(5) + "\nE: DEVNAME=" + node +
                           "\nE: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\nE: BUSNUM=001\nA: busnum=1\n" + ids +
                           "A: speed=12\nA: bConfigurationValue=1\nA: bNumInterfaces= 1\nH: descriptors=" +
                           Hex(both) + "\n\nP: " + dev + "/1-" + std::to_string(address) +
                           ":1.0\nE: DEVTYPE=usb_interface\nE: SUBSYSTEM=usb\nA: bInterfaceNumber=00\n"
                           "A: bInterfaceClass=ff\nA: bAlternateSetting= 0\nA: bNumEndpoints=02\n";
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(s.testbed, text.c_str(), &error) ||
      !umockdev_testbed_attach_ioctl(s.testbed, node.c_str(), s.handler, &error)) {
    std::fprintf(stderr, "umockdev testbed: %s\n", error != nullptr ? error->message : "?");
    g_clear_error(&error);
    return;
  }
  {
    std::lock_guard<std::mutex> guard(s.lock);
    s.syspath = "/sys" + dev;
    s.plugged = true;
  }
  s.reader->SetWake([&s] {
    std::lock_guard<std::mutex> guard(s.lock);
    s.WakeLocked();
  });
  umockdev_testbed_uevent(s.testbed, s.syspath.c_str(), "add");
  umockdev_testbed_uevent(s.testbed, (s.syspath + "/1-" + std::to_string(address) + ":1.0").c_str(), "add");
}

void UmockdevReader::Unplug() {
  State& s = *state_;
  std::string syspath;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.plugged) return;
    s.plugged = false;
    // What usbfs does to URBs under way when the device goes.
    for (Urb& u : s.urbs) {
      if (std::find(s.done.begin(), s.done.end(), &u) == s.done.end()) s.Done(u, -ESHUTDOWN, 0);
    }
    syspath.swap(s.syspath);
  }
  s.reader->SetWake(nullptr);
  GError* error = nullptr;
  umockdev_testbed_detach_ioctl(s.testbed, s.Node().c_str(), &error);
  g_clear_error(&error);
  const std::string interface = syspath + "/1-" + std::to_string(s.address) + ":1.0";
  umockdev_testbed_uevent(s.testbed, interface.c_str(), "remove");
  umockdev_testbed_uevent(s.testbed, syspath.c_str(), "remove");
  umockdev_testbed_remove_device(s.testbed, interface.c_str());
  umockdev_testbed_remove_device(s.testbed, syspath.c_str());
}

usb::DeviceAddress UmockdevReader::Address() const {
  const emu::ReaderConfig& config = state_->reader->Config();
  return {config.vendorId, config.productId, 1, state_->address};
}

std::string UmockdevReader::DeviceNode() const { return state_->Node(); }
emu::Reader& UmockdevReader::Reader() const { return *state_->reader; }

std::size_t UmockdevReader::UrbsUnderWay() const {
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->urbs.size();
}

std::size_t UmockdevReader::UrbsParked() const {
  std::lock_guard<std::mutex> guard(state_->lock);
  return static_cast<std::size_t>(
      std::count_if(state_->urbs.begin(), state_->urbs.end(), [](const Urb& u) { return u.parked; }));
}

}  // namespace usbtest
