#include "tests/platform/usb/umockdev/umockdev_reader.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <string>

#include "emulator/reader/descriptors.h"
#include "platform/kernel/platform.h"
#include "platform/usb/usb.h"

namespace usbtest {

constexpr char kNode[] = "/dev/bus/usb/001/002";
const std::string kDevice = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
const std::string kInterface = kDevice + "/1-2:1.0";

struct Urb {
  UMockdevIoctlData* urb;     // the client's usbdevfs_urb
  UMockdevIoctlData* buffer;  // its buffer
  bool parked = false, ended = false;
  usbdevfs_urb& Of() const { return *reinterpret_cast<usbdevfs_urb*>(urb->data); }
};

struct UmockdevReader::State {
  UMockdevTestbed* testbed = umockdev_testbed_new();
  UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
  mutable std::mutex lock;
  std::shared_ptr<emu::Reader> reader;
  bool plugged = false;
  std::list<Urb> urbs;    // submitted, not reaped
  std::deque<Urb*> done;  // in the order libusb reaps them

  void End(Urb& u, int status, std::size_t actual) {
    u.Of().status = status;
    u.Of().actual_length = static_cast<int>(actual);
    if (u.parked) kernel::HoldClock();  // taken back: the port releases it when the request completes
    u.parked = false;
    u.ended = true;
    done.push_back(&u);
  }
  // usbfs ends a stalled transfer with -EPIPE, any other failure with -EPROTO.
  static int StatusOf(const usb::TransferFailure& f) {
    return f.usbdStatus == USBD_STATUS_STALL_PID ? -EPIPE : -EPROTO;
  }
  void AskIn(Urb& u) {
    usb::InResult in = reader->BulkIn(u.Of().endpoint, static_cast<std::uint32_t>(u.Of().buffer_length), kernel::Now());
    if (in.kind == usb::InResult::Kind::NotReady) {  // asked again when the reader wakes
      if (!u.parked) kernel::ReleaseClock();
      u.parked = true;
    } else if (in.kind == usb::InResult::Kind::Failed) {
      End(u, StatusOf(in.failure), 0);
    } else {
      in.data.resize(std::min<std::size_t>(in.data.size(), static_cast<std::size_t>(u.Of().buffer_length)));
      std::copy(in.data.begin(), in.data.end(), u.buffer->data);
      End(u, 0, in.data.size());
    }
  }
  void Wake() {
    for (Urb& u : urbs) {
      if (u.parked) AskIn(u);
    }
  }
  void Submit(UMockdevIoctlData* arg) {
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    const auto& submitted = *reinterpret_cast<usbdevfs_urb*>(data->data);
    const auto length = static_cast<std::size_t>(submitted.buffer_length);
    Urb& u = urbs.emplace_back(Urb{umockdev_ioctl_data_ref(data),
                                   umockdev_ioctl_data_resolve(data, offsetof(usbdevfs_urb, buffer), length, nullptr)});
    std::uint8_t* bytes = u.buffer->data;
    if (submitted.type == USBDEVFS_URB_TYPE_CONTROL) {  // only GET_DESCRIPTOR; the setup packet leads the buffer
      std::vector<std::uint8_t> descriptor;
      if (bytes[0] == 0x80 && bytes[1] == 0x06) descriptor = reader->GetDescriptor(bytes[3], bytes[2]);
      descriptor.resize(std::min<std::size_t>(
          {descriptor.size(), std::size_t{bytes[6]} | (std::size_t{bytes[7]} << 8u), length - 8}));
      std::copy(descriptor.begin(), descriptor.end(), bytes + 8);
      End(u, descriptor.empty() ? -EPIPE : 0, descriptor.size());
    } else if ((submitted.endpoint & 0x80) == 0) {
      const usb::OutResult out = reader->BulkOut(submitted.endpoint, {bytes, length}, kernel::Now());
      End(u, out.failed ? StatusOf(out.failure) : 0, out.failed ? 0 : length);
      Wake();  // the frame may have produced a reply a parked IN can take
    } else {
      AskIn(u);
    }
  }
  // The errno of the answer; -1: answered already.
  int Ioctl(gulong request, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    if (request == USBDEVFS_GET_CAPABILITIES) {  // without NO_PACKET_SIZE_LIM libusb cuts bulk transfers at 16 KiB
      const std::uint32_t caps = USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_CONTINUATION;
      std::memcpy(umockdev_ioctl_data_resolve(arg, 0, sizeof caps, nullptr)->data, &caps, sizeof caps);
      return 0;
    }
    if (request == USBDEVFS_REAPURBNDELAY) {
      if (done.empty()) return plugged ? EAGAIN : ENODEV;
      Urb* u = done.front();
      done.pop_front();
      umockdev_ioctl_data_set_ptr(umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr), 0, u->urb);
      umockdev_ioctl_client_complete(client, 0, 0);
      umockdev_ioctl_data_unref(u->urb);
      urbs.remove_if([u](const Urb& each) { return &each == u; });
      return -1;
    }
    if (!plugged) return ENODEV;
    if (request == USBDEVFS_SUBMITURB) {
      Submit(arg);
    } else if (request == USBDEVFS_DISCARDURB) {  // the argument is the client's URB pointer itself
      gulong address = 0;
      std::memcpy(&address, arg->data, std::min(sizeof address, static_cast<std::size_t>(arg->data_len)));
      auto it = std::find_if(urbs.begin(), urbs.end(),
                             [&](const Urb& u) { return u.urb->client_addr == address && !u.ended; });
      if (it == urbs.end()) return EINVAL;  // already done: libusb then waits for its reap
      End(*it, -ENOENT, 0);
    } else if (request == USBDEVFS_SETCONFIGURATION) {
      int value;
      std::memcpy(&value, umockdev_ioctl_data_resolve(arg, 0, sizeof value, nullptr)->data, sizeof value);
      reader->SetConfiguration(static_cast<std::uint8_t>(std::max(value, 0)));
    } else if (request != USBDEVFS_CLAIMINTERFACE && request != USBDEVFS_RELEASEINTERFACE &&
               request != USBDEVFS_DISCONNECT_CLAIM) {  // libusb_reset_device fails unless this one succeeds
      return ENOTTY;
    }
    return 0;
  }
};

UmockdevReader::UmockdevReader(std::shared_ptr<emu::Reader> reader) : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.reader = std::move(reader);
  g_signal_connect(
      s.handler, "handle-ioctl", G_CALLBACK(+[](UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        auto& state = *static_cast<State*>(self);
        std::lock_guard<std::mutex> guard(state.lock);
        const int error =
            state.Ioctl(umockdev_ioctl_client_get_request(client), client, umockdev_ioctl_client_get_arg(client));
        if (error >= 0) umockdev_ioctl_client_complete(client, error == 0 ? 0 : -1, error);
        return gboolean{TRUE};
      }),
      &s);
  const emu::ReaderConfig& config = s.reader->Config();
  std::string hex;
  for (const auto& part : {emu::BuildDeviceDescriptor(config), emu::BuildConfigurationDescriptor(config)}) {
    for (std::uint8_t b : part) hex += {"0123456789ABCDEF"[b >> 4], "0123456789ABCDEF"[b & 15]};
  }
  char ids[64];
  std::snprintf(ids, sizeof ids, "A: idVendor=%04x\nA: idProduct=%04x\n", config.vendorId, config.productId);
  // The interface entry is what pcscd's hot-plug looks for.
  const std::string text = "P: " + kDevice.substr(4) + "\nN: " + (kNode + 5) + "\nE: DEVNAME=" + kNode +
                           "\nE: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\nE: BUSNUM=001\nA: busnum=1\nA: devnum=2\n"
                           "A: dev=189:1\nA: speed=12\nA: bConfigurationValue=1\nA: bNumInterfaces= 1\n" +
                           ids + "H: descriptors=" + hex + "\n\nP: " + kInterface.substr(4) +
                           "\nE: DEVTYPE=usb_interface\nE: SUBSYSTEM=usb\nA: bInterfaceNumber=00\n"
                           "A: bInterfaceClass=ff\nA: bAlternateSetting= 0\nA: bNumEndpoints=02\n";
  if (!umockdev_testbed_add_from_string(s.testbed, text.c_str(), nullptr) ||
      !umockdev_testbed_attach_ioctl(s.testbed, kNode, s.handler, nullptr)) {
    return;  // not under umockdev-wrapper: Available() says so
  }
  s.plugged = true;
  s.reader->SetWake([&s] {
    std::lock_guard<std::mutex> guard(s.lock);
    s.Wake();
  });
  for (const std::string& path : {kDevice, kInterface}) umockdev_testbed_uevent(s.testbed, path.c_str(), "add");
}

UmockdevReader::~UmockdevReader() {
  Unplug();
  g_object_unref(state_->handler);
  g_object_unref(state_->testbed);
}

bool UmockdevReader::Available() { return umockdev_in_mock_environment(); }

void UmockdevReader::Unplug() {
  State& s = *state_;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.plugged) return;
    s.plugged = false;
    for (Urb& u : s.urbs) {  // what usbfs does to URBs under way when the device goes
      if (!u.ended) s.End(u, -ESHUTDOWN, 0);
    }
  }
  s.reader->SetWake(nullptr);
  umockdev_testbed_detach_ioctl(s.testbed, kNode, nullptr);
  for (const std::string& path : {kInterface, kDevice}) {
    umockdev_testbed_uevent(s.testbed, path.c_str(), "remove");
    umockdev_testbed_remove_device(s.testbed, path.c_str());
  }
}

std::size_t UmockdevReader::Urbs(bool parkedOnly) const {
  std::lock_guard<std::mutex> guard(state_->lock);
  return static_cast<std::size_t>(
      std::count_if(state_->urbs.begin(), state_->urbs.end(), [&](const Urb& u) { return u.parked || !parkedOnly; }));
}

}  // namespace usbtest
