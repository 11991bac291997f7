// What a trace shows of a session: the reader frames that crossed the bulk
// pipes (gathered from the port's transfers and decoded one level), the
// other USB requests, the event-log entries the driver wrote, and the
// requests the host sent. Lines come out in batches, in the order things
// happened: a request's line at its completion, after the bus traffic that
// came before it; event-log entries, which carry no time, at the end of
// their batch. Times count from the host's origin in milliseconds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/bus_frames.h"
#include "host/frame_description.h"
#include "host/host.h"
#include "platform/usb/bus_port.h"

namespace host {

struct BusTotals {
  std::uint64_t frames = 0;    // request frames and complete replies
  std::uint64_t bytesOut = 0;  // bulk OUT bytes
  std::uint64_t bytesIn = 0;   // bulk IN bytes
};

class BusMonitor {
 public:
  // Shows the host's journal so far, and listens to it from now on.
  explicit BusMonitor(Host& host);
  ~BusMonitor();
  BusMonitor(const BusMonitor&) = delete;
  BusMonitor& operator=(const BusMonitor&) = delete;

  // The port to watch from now on (null: none); what the previous one
  // carried is collected first.
  void Watch(const usb::BusPort* port);
  // The lines since the last call: requests, USB requests, frames, event-log entries.
  std::vector<std::string> Collect();
  BusTotals Totals() const { return totals_; }

 private:
  void CollectPort();
  void AddRequest(const JournalEntry& entry);
  void AddFrame(const BusFrame& frame);
  std::string Time(LONGLONG time) const;

  Host& host_;
  const usb::BusPort* port_ = nullptr;
  std::size_t traceCursor_ = 0;
  std::size_t logCursor_ = 0;
  FrameAssembler assembler_;
  RequestFrame lastRequest_;
  BusTotals totals_;
  std::vector<std::string> pending_;
};

}  // namespace host
