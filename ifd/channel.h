// One reader of pcscd's: an emulated reader plugged into the host, or a
// physical one found on the USB bus (AddDevice, start), a handle opened on
// its reader interface, and the requests the IFD handler sends on it. A
// physical reader that leaves the bus gets the surprise removal at once;
// closing removes the reader (after a surprise removal, the removal alone).
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <string>
#include <thread>

#include "emulator/vicc/vicc_listener.h"
#include "host/control_requests.h"
#include "host/fault_injector.h"
#include "host/host.h"
#include "host/plugged_reader.h"
#include "host/pnp_manager.h"
#include "host/resource_manager.h"
#include "host/usb_hotplug.h"
#include "ifd/card_control.h"
#include "ifd/device_name.h"
#include "ifd/responses.h"
#include "platform/kernel/io_user.h"
#include "platform/usb/capture.h"

namespace ifd {

class Channel {
 public:
  // `usb` is the host's bus, for a physical reader (options.device).
  Channel(host::Host& host, ChannelOptions options, host::UsbHotplug* usb = nullptr);
  ~Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // Plugs and starts the reader and opens the handle; the status of the step
  // that failed. On failure the reader is removed again.
  NTSTATUS Open();
  // Stops the card-event wait and the card control, closes the handle and
  // removes the reader. Whatever touches the platform goes here, on the
  // closing thread: a call still holding the channel afterwards finds it
  // closed (STATUS_DELETE_PENDING) and the destructor has nothing to undo.
  void Close();

  const ChannelOptions& Options() const { return options_; }
  std::shared_ptr<emu::Reader> SharedReader() const { return reader_; }

  // One request on the handle, waited for.
  kernel::IoResult Send(const host::ControlRequest& request);

  // Waits for the card to come or go, at most timeoutMs (negative: no
  // limit), with IOCTL_SMARTCARD_IS_PRESENT or _IS_ABSENT as the current
  // state calls for; cancels it at the limit. A StopWaiting wakes it once.
  Response WaitForCardEvent(long timeoutMs);
  void StopWaiting();

 private:
  // Drains the traces, then lets go of the reader's port and its manager.
  void Release();
  // Carries out the faults= of the entry.
  void StartFaults();
  void Drain();
  // What the port and the resource manager keep for the trace (trace=), and
  // the port's capture (pcap=).
  void ApplyTraceOption();
  // The physical reader's port, or the status that says why there is none.
  NTSTATUS PlugPhysical();

  host::Host& host_;
  const ChannelOptions options_;
  host::UsbHotplug* const usb_;
  std::optional<usb::DeviceAddress> device_;  // the physical reader's place on the bus
  const std::shared_ptr<emu::Reader> reader_;  // null for a physical reader
  // Requests hold it shared; Close holds it alone while it removes the reader.
  std::shared_mutex lifeLock_;
  std::unique_ptr<host::PluggedReader> plugged_;
  std::shared_ptr<usb::Capture> capture_;
  std::unique_ptr<host::FaultInjector> faults_;  // while open; goes before plugged_
  host::ResourceManager resources_;
  std::unique_ptr<host::PnpManager> pnp_;
  std::unique_ptr<CardControl> control_;
  std::unique_ptr<emu::ViccListener> vicc_;  // card=vicc: vicc's connection is the card
  bool open_ = false;

  std::mutex waitLock_;
  std::condition_variable waitDone_;
  kernel::UserRequest* waiting_ = nullptr;
  bool stopPending_ = false;
  bool closing_ = false;
};

}  // namespace ifd
