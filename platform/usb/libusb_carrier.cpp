// A physical device's requests through libusb-1.0. Simulated time: each
// transfer holds the platform's clock from its submission until its request
// is completed (a device that parks it without end lends the hold back, see
// kernel::HoldClock), so the 7-second bound runs out only while the device
// really is silent. In real time the holds change nothing.
#include "platform/usb/libusb_carrier.h"

#include <algorithm>
#include <chrono>

#include "platform/kernel/platform.h"

namespace usb {
namespace {

// USB 2.0 clause 9.4: standard requests to the device.
constexpr std::uint8_t kDeviceToHost = 0x80;  // bmRequestType: IN, standard, to the device
constexpr std::uint8_t kGetDescriptor = 0x06;
constexpr unsigned kControlTimeoutMs = 5000;

Outcome TransferOutcome(const LibusbTransfer& t) {
  switch (t.transfer->status) {
    case LIBUSB_TRANSFER_COMPLETED:
      return t.in ? InDataOutcome(t.urb->UrbBulkOrInterruptTransfer, static_cast<std::size_t>(t.transfer->actual_length))
                  : Outcome{};
    case LIBUSB_TRANSFER_CANCELLED:
      return t.cancelled;
    case LIBUSB_TRANSFER_NO_DEVICE:
      return LibusbOutcome(LIBUSB_ERROR_NO_DEVICE);
    case LIBUSB_TRANSFER_STALL:
      return LibusbOutcome(LIBUSB_ERROR_PIPE);
    case LIBUSB_TRANSFER_OVERFLOW:
      return LibusbOutcome(LIBUSB_ERROR_OVERFLOW);
    case LIBUSB_TRANSFER_TIMED_OUT:
    case LIBUSB_TRANSFER_ERROR:
      break;
  }
  return LibusbOutcome(LIBUSB_ERROR_IO);
}

}  // namespace

Outcome LibusbOutcome(int error) {
  switch (error) {
    case LIBUSB_SUCCESS:
      return {};
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND:
      // What an unplugged port of the emulated hub answers too.
      return {STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE};
    case LIBUSB_ERROR_PIPE:
      return {STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
    case LIBUSB_ERROR_OVERFLOW:
      return {STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_OVERRUN};
    case LIBUSB_ERROR_NO_MEM:
      return {STATUS_INSUFFICIENT_RESOURCES, USBD_STATUS_INVALID_PARAMETER};
    case LIBUSB_ERROR_INVALID_PARAM:
      return {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER};
    default:
      return {STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING};
  }
}

void EventLoop::Post(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    posted_.push_back(std::move(work));
  }
  libusb_interrupt_event_handler(context_);
}

void EventLoop::RunPosted() {
  std::vector<std::function<void()>> work;
  {
    std::lock_guard<std::mutex> guard(lock_);
    work.swap(posted_);
  }
  for (std::function<void()>& each : work) each();
}

LibusbCarrier::LibusbCarrier(libusb_device_handle* handle, EventLoop& loop) : handle_(handle), loop_(loop) {
  // A kernel driver bound to the interface lets go of it while the port holds it.
  libusb_set_auto_detach_kernel_driver(handle_, 1);
}

LibusbCarrier::~LibusbCarrier() {
  ReleaseInterface();
  libusb_close(handle_);
}

void LibusbCarrier::ReleaseInterface() {
  if (claimed_ >= 0) libusb_release_interface(handle_, claimed_);
  claimed_ = -1;
}

Outcome LibusbCarrier::ReadDescriptor(UCHAR type, UCHAR index, ULONG length, std::vector<std::uint8_t>* bytes) {
  bytes->resize(std::min<ULONG>(length, 0xFFFF));
  const int got = libusb_control_transfer(handle_, kDeviceToHost, kGetDescriptor, static_cast<std::uint16_t>((type << 8) | index), 0,
                                          bytes->data(), static_cast<std::uint16_t>(bytes->size()), kControlTimeoutMs);
  if (got < 0) {
    bytes->clear();
    return LibusbOutcome(got);
  }
  bytes->resize(static_cast<std::size_t>(got));
  return {};
}

Outcome LibusbCarrier::SetConfiguration(UCHAR value) {
  ReleaseInterface();
  // -1: the unconfigured state (libusb's spelling of configuration 0).
  int result = libusb_set_configuration(handle_, value == 0 ? -1 : value);
  if (result != LIBUSB_SUCCESS || value == 0) return LibusbOutcome(result);
  // The first interface of the configuration is the one a function driver selects.
  libusb_config_descriptor* config = nullptr;
  result = libusb_get_active_config_descriptor(libusb_get_device(handle_), &config);
  if (result != LIBUSB_SUCCESS) return LibusbOutcome(result);
  const int number = config->bNumInterfaces > 0 && config->interface[0].num_altsetting > 0
                         ? config->interface[0].altsetting[0].bInterfaceNumber
                         : -1;
  libusb_free_config_descriptor(config);
  if (number < 0) return {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR};
  result = libusb_claim_interface(handle_, number);
  if (result == LIBUSB_SUCCESS) claimed_ = number;
  return LibusbOutcome(result);
}

NTSTATUS LibusbCarrier::CarryBulk(PIRP irp, PURB urb, const PipeRecord& pipe) {
  _URB_BULK_OR_INTERRUPT_TRANSFER& bulk = urb->UrbBulkOrInterruptTransfer;
  auto t = std::make_unique<LibusbTransfer>(LibusbTransfer{irp, urb, this, pipe.endpoint, pipe.in, nullptr, {}});
  t->transfer = libusb_alloc_transfer(0);
  if (t->transfer == nullptr) {
    bulk.Hdr.Status = USBD_STATUS_INVALID_PARAMETER;
    return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
  }
  const auto bytes = static_cast<const std::uint8_t*>(bulk.TransferBuffer);
  if (pipe.in) {
    t->buffer.resize(bulk.TransferBufferLength);
  } else {
    t->buffer.assign(bytes, bytes + bulk.TransferBufferLength);
  }
  libusb_fill_bulk_transfer(t->transfer, handle_, pipe.endpoint, t->buffer.data(), static_cast<int>(t->buffer.size()),
                            Completed, t.get(), 0);
  IoMarkIrpPending(irp);
  kernel::HoldClock();
  LibusbTransfer* raw = t.get();
  int result;
  {
    std::lock_guard<std::mutex> guard(lock_);
    transfers_->list.push_back(raw);
    IoSetCancelRoutine(irp, CancelRoutine);
    // IoCancelIrp sets Cancel atomically and without this lock.
    if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(irp, nullptr) != nullptr) {
      result = LIBUSB_ERROR_INTERRUPTED;
    } else {
      // The completion may run on the event thread before this returns; it waits for the lock.
      result = gone_ ? LIBUSB_ERROR_NO_DEVICE : libusb_submit_transfer(raw->transfer);
      if (result != LIBUSB_SUCCESS) IoSetCancelRoutine(irp, nullptr);
    }
    if (result != LIBUSB_SUCCESS) transfers_->list.remove(raw);
  }
  if (result == LIBUSB_SUCCESS) {
    t.release();
    return STATUS_PENDING;
  }
  const Outcome outcome = result == LIBUSB_ERROR_INTERRUPTED ? raw->cancelled : LibusbOutcome(result);
  libusb_free_transfer(raw->transfer);
  std::vector<std::uint8_t> sent = pipe.in ? std::vector<std::uint8_t>{} : std::move(raw->buffer);
  FinishBulk(*core, irp, urb, pipe.endpoint, pipe.in, outcome, std::move(sent));
  kernel::ReleaseClock();
  return STATUS_PENDING;
}

void LIBUSB_CALL LibusbCarrier::Completed(libusb_transfer* transfer) {
  std::unique_ptr<LibusbTransfer> t(static_cast<LibusbTransfer*>(transfer->user_data));
  LibusbCarrier& carrier = *t->carrier;
  {
    std::lock_guard<std::mutex> guard(carrier.lock_);
    carrier.transfers_->list.remove(t.get());
    // A cancel routine that already ran only asked libusb to cancel: this
    // completion ends the request either way, exactly once.
    IoSetCancelRoutine(t->irp, nullptr);
  }
  Outcome outcome = TransferOutcome(*t);
  // OUT: what was sent, for the trace; IN: what arrived, when the request keeps it.
  std::vector<std::uint8_t> data = std::move(t->buffer);
  if (t->in) {
    const bool kept = NT_SUCCESS(outcome.status) || outcome.usbdStatus == USBD_STATUS_ERROR_SHORT_TRANSFER;
    data.resize(kept ? static_cast<std::size_t>(transfer->actual_length) : 0);
  }
  // A bus driver completes at DISPATCH_LEVEL.
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  FinishBulk(*carrier.core, t->irp, t->urb, t->endpoint, t->in, outcome, std::move(data));
  KeLowerIrql(irql);
  libusb_free_transfer(transfer);
  {
    std::lock_guard<std::mutex> guard(carrier.lock_);
    carrier.transfers_->ended.notify_all();
  }
  kernel::ReleaseClock();
}

void LibusbCarrier::CancelOnEventThread(std::function<bool(const LibusbTransfer&)> pick) {
  // The cancellation is work under way until libusb has passed it to the
  // device, whose side then holds the transfer's own hold again.
  kernel::HoldClock();
  loop_.Post([weak = std::weak_ptr<Transfers>(transfers_), pick = std::move(pick)] {
    if (const std::shared_ptr<Transfers> transfers = weak.lock()) {
      // Under the lock: the completion frees a transfer only after taking it out of the list.
      std::lock_guard<std::mutex> guard(transfers->lock);
      for (LibusbTransfer* t : transfers->list) {
        if (pick(*t)) libusb_cancel_transfer(t->transfer);
      }
    }
    kernel::ReleaseClock();
  });
}

void LibusbCarrier::CancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  auto& carrier = static_cast<LibusbCarrier&>(*PortOf(device).carrier);
  carrier.CancelOnEventThread([irp](const LibusbTransfer& t) { return t.irp == irp; });
}

void LibusbCarrier::CancelTransfers(int endpoint, NTSTATUS status, USBD_STATUS usbdStatus) {
  std::unique_lock<std::mutex> guard(lock_);
  if (status == STATUS_DEVICE_NOT_CONNECTED || status == STATUS_NO_SUCH_DEVICE) gone_ = true;
  const auto mine = [endpoint](const LibusbTransfer* t) { return endpoint < 0 || t->endpoint == endpoint; };
  bool any = false;
  for (LibusbTransfer* t : transfers_->list) {
    if (!mine(t)) continue;
    t->cancelled = {status, usbdStatus};
    any = true;
  }
  if (!any) return;
  CancelOnEventThread([mine](const LibusbTransfer& t) { return mine(&t); });
  // An abort ends the pipe's transfers before it completes itself. The event
  // thread completes them; the wait is bounded in case it never does.
  transfers_->ended.wait_for(guard, std::chrono::seconds(10), [&] {
    return std::none_of(transfers_->list.begin(), transfers_->list.end(), mine);
  });
}

PortStatus LibusbCarrier::GetPortStatus() {
  std::lock_guard<std::mutex> guard(lock_);
  return PortStatus{!gone_, !gone_};
}

Outcome LibusbCarrier::ResetPort(UCHAR) {
  // Linux restores the configuration and the claimed interface after a reset itself.
  const int result = libusb_reset_device(handle_);
  if (result == LIBUSB_ERROR_NOT_FOUND) {
    // The device came back as another one (its descriptors changed): this port has lost it.
    std::lock_guard<std::mutex> guard(lock_);
    gone_ = true;
  }
  return LibusbOutcome(result);
}

void LibusbCarrier::Shutdown() { CancelTransfers(-1, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE); }

}  // namespace usb
