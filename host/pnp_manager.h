// The Plug and Play manager for one plugged reader: AddDevice, then the
// requests Windows sends to the top of the device stack, one at a time, in
// the orders Windows sends them:
//   start            IRP_MN_START_DEVICE; a start that fails is followed by
//                    IRP_MN_REMOVE_DEVICE, as for a device that cannot run
//   stop             IRP_MN_QUERY_STOP_DEVICE, then IRP_MN_STOP_DEVICE, or
//                    IRP_MN_CANCEL_STOP_DEVICE when the query fails
//   remove           the resource manager closes its handles, then
//                    IRP_MN_QUERY_REMOVE_DEVICE and IRP_MN_REMOVE_DEVICE, or
//                    IRP_MN_CANCEL_REMOVE_DEVICE when the query fails; after
//                    a surprise removal, IRP_MN_REMOVE_DEVICE alone
//   surprise removal the device leaves the bus, IRP_MN_SURPRISE_REMOVAL;
//                    IRP_MN_REMOVE_DEVICE follows once no handle is open
// Plug and Play requests go one at a time per device, whichever thread asks
// (a departure comes on the hot-plug thread).
// Each returns the status of the request that decided the outcome (the
// failed query, or the last request); every request is in the journal.
#pragma once

#include <atomic>
#include <mutex>

#include "host/host.h"
#include "host/plugged_reader.h"
#include "host/resource_manager.h"

namespace host {

enum class DeviceState {
  Present,  // on the bus, no driver device yet
  Added,    // AddDevice succeeded; not started
  Started,
  Stopped,          // stopped for a rebalance; a start brings it back
  SurpriseRemoved,  // gone from the bus; its removal waits for the last handle
  Removed,          // the driver's device is gone
};

class PnpManager {
 public:
  // The resource manager's handles are closed before a removal and are
  // watched after a surprise removal.
  PnpManager(Host& host, PluggedReader& reader, ResourceManager& resourceManager);
  ~PnpManager();
  PnpManager(const PnpManager&) = delete;
  PnpManager& operator=(const PnpManager&) = delete;

  DeviceState State() const { return state_.load(); }

  // The driver extension's AddDevice with the reader's physical device object.
  NTSTATUS Add();
  NTSTATUS Start();
  NTSTATUS Stop();
  NTSTATUS Remove();
  NTSTATUS SurpriseRemove();

  // One request alone, whatever the state; the state follows what it did.
  // A removal request still closes the resource manager's handles first:
  // the driver's removal waits for them.
  NTSTATUS Send(UCHAR minor);

 private:
  NTSTATUS SendAlone(UCHAR minor);
  void HandlesClosed();

  Host& host_;
  PluggedReader& reader_;
  ResourceManager& resourceManager_;
  std::recursive_mutex lock_;  // one request at a time; a removal's last close re-enters
  std::atomic<DeviceState> state_{DeviceState::Present};
  NTSTATUS removalStatus_ = STATUS_PENDING;  // of the last IRP_MN_REMOVE_DEVICE
};

}  // namespace host
