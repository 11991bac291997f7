// What carries a port's requests to a physical device through libusb-1.0,
// private to the USB stand-in. Bulk transfers are asynchronous libusb
// transfers that the bus's one event thread completes; a cancelled request
// cancels its transfer, whose completion then ends the request, once.
#pragma once

#include <libusb.h>

#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/usb/port_core.h"

namespace usb {

class LibusbCarrier;

// The bus's event thread: it completes every transfer, and runs the work
// posted to it between rounds of libusb's event handling. Cancellations go
// through it, so that only this thread ever reaps and discards URBs.
class EventLoop {
 public:
  explicit EventLoop(libusb_context* context) : context_(context) {}
  void Post(std::function<void()> work);
  // On the event thread, after each round.
  void RunPosted();

 private:
  libusb_context* const context_;
  std::mutex lock_;
  std::vector<std::function<void()>> posted_;
};

struct LibusbTransfer {
  PIRP irp;
  PURB urb;
  LibusbCarrier* carrier;
  UCHAR endpoint;
  bool in;
  libusb_transfer* transfer;
  std::vector<std::uint8_t> buffer;
  // What a cancellation ends the request with (an abort, an unplug, IoCancelIrp).
  Outcome cancelled{STATUS_CANCELLED, USBD_STATUS_CANCELED};
};

class LibusbCarrier : public PortCarrier {
 public:
  // Takes the handle over; the context and its loop outlive the carrier.
  LibusbCarrier(libusb_device_handle* handle, EventLoop& loop);
  ~LibusbCarrier() override;

  Outcome ReadDescriptor(UCHAR type, UCHAR index, ULONG length, std::vector<std::uint8_t>* bytes) override;
  Outcome SetConfiguration(UCHAR value) override;
  NTSTATUS CarryBulk(PIRP irp, PURB urb, const PipeRecord& pipe) override;
  void CancelTransfers(int endpoint, NTSTATUS status, USBD_STATUS usbdStatus) override;
  void AbortEndpoint(UCHAR) override {}
  PortStatus GetPortStatus() override;
  Outcome ResetPort(UCHAR configurationValue) override;
  void Shutdown() override;

  // libusb's callback, on the event thread.
  static void LIBUSB_CALL Completed(libusb_transfer* transfer);

 private:
  static void CancelRoutine(PDEVICE_OBJECT device, PIRP irp);
  void ReleaseInterface();
  // Asks the event thread to cancel the transfers this picks (under the lock).
  void CancelOnEventThread(std::function<bool(const LibusbTransfer&)> pick);

  // What outlives the carrier as long as posted work may still look at it.
  struct Transfers {
    std::mutex lock;
    std::condition_variable ended;
    std::list<LibusbTransfer*> list;
  };

  libusb_device_handle* const handle_;
  EventLoop& loop_;
  const std::shared_ptr<Transfers> transfers_ = std::make_shared<Transfers>();
  std::mutex& lock_ = transfers_->lock;
  int claimed_ = -1;  // the interface this port holds, -1: none
  bool gone_ = false;
};

// A libusb error as the request status and USBD status a bus driver gives.
Outcome LibusbOutcome(int error);

}  // namespace usb
