#include "host/bus_monitor.h"

#include <cstdio>

#include "host/status_names.h"
#include "platform/smclib/event_log.h"

namespace host {
namespace {

std::string UsbRequestText(const usb::TraceEntry& entry) {
  char text[96];
  switch (entry.kind) {
    case usb::TraceEntry::Kind::GetDescriptor:
      std::snprintf(text, sizeof text, "GET_DESCRIPTOR type %02X, %zu of %lu bytes", entry.endpoint, entry.data.size(),
                    static_cast<unsigned long>(entry.requested));
      return text;
    case usb::TraceEntry::Kind::SelectConfiguration:
      return "SELECT_CONFIGURATION";
    case usb::TraceEntry::Kind::Unconfigure:
      return "SELECT_CONFIGURATION none (unconfigure)";
    case usb::TraceEntry::Kind::AbortPipe:
      std::snprintf(text, sizeof text, "ABORT_PIPE endpoint %02X", entry.endpoint);
      return text;
    case usb::TraceEntry::Kind::PortStatus:
      return "GET_PORT_STATUS";
    case usb::TraceEntry::Kind::PortReset:
      return "RESET_PORT";
    case usb::TraceEntry::Kind::BulkOut:
    case usb::TraceEntry::Kind::BulkIn:
      break;
  }
  return "bulk transfer";
}

}  // namespace

BusMonitor::BusMonitor(Host& host) : host_(host), logCursor_(smclib::EventLog().size()) {
  // What the host did before (loading the driver) opens the trace.
  for (const JournalEntry& entry : host_.Requests().Entries()) AddRequest(entry);
  host_.Requests().SetListener([this](const JournalEntry& entry) { AddRequest(entry); });
}

BusMonitor::~BusMonitor() { host_.Requests().SetListener(nullptr); }

std::string BusMonitor::Time(LONGLONG time) const {
  char text[32];
  std::snprintf(text, sizeof text, "%10.3f ms",
                static_cast<double>(time - host_.Origin()) / static_cast<double>(kernel::kMillisecond));
  return text;
}

void BusMonitor::Watch(const usb::BusPort* port) {
  CollectPort();
  if (std::optional<BusFrame> cut = assembler_.Flush()) AddFrame(*cut);
  port_ = port;
  traceCursor_ = 0;
  assembler_ = FrameAssembler();
  lastRequest_ = RequestFrame();
}

void BusMonitor::AddFrame(const BusFrame& frame) {
  std::string description;
  if (frame.direction == Direction::Out) {
    if (!frame.bytes.empty()) {
      lastRequest_ = ClassifyRequest(frame.bytes);
      ++totals_.frames;
    }
    description = DescribeRequest(frame.bytes);
  } else {
    description = DescribeReply(frame.bytes, lastRequest_);
    if (frame.complete) {
      ++totals_.frames;
    } else {
      description += " (incomplete)";
    }
  }
  std::string line =
      "frame   " + Time(frame.time) + (frame.direction == Direction::Out ? " OUT " : " IN  ") + description;
  if (!frame.bytes.empty()) line += ": " + ToSpacedHex(frame.bytes);
  pending_.push_back(std::move(line));
}

void BusMonitor::CollectPort() {
  if (port_ == nullptr) return;
  const std::vector<usb::TraceEntry> trace = port_->Trace();
  for (std::size_t i = traceCursor_; i < trace.size(); ++i) {
    const usb::TraceEntry& entry = trace[i];
    const bool out = entry.kind == usb::TraceEntry::Kind::BulkOut;
    if (!out && entry.kind != usb::TraceEntry::Kind::BulkIn) {
      pending_.push_back("usb     " + Time(entry.time) + " " + UsbRequestText(entry) + " -> " +
                         StatusWord(entry.status));
      continue;
    }
    if (!NT_SUCCESS(entry.status)) {
      // A failed transfer carried nothing: its status is all there is to show.
      pending_.push_back("usb     " + Time(entry.time) + (out ? " bulk OUT" : " bulk IN") + " transfer -> " +
                         StatusWord(entry.status));
      continue;
    }
    (out ? totals_.bytesOut : totals_.bytesIn) += entry.data.size();
    const BusTransfer transfer{out ? Direction::Out : Direction::In, entry.time, entry.data};
    for (const BusFrame& frame : assembler_.Add(transfer)) AddFrame(frame);
  }
  traceCursor_ = trace.size();
}

void BusMonitor::AddRequest(const JournalEntry& entry) {
  // What crossed the bus up to now came before this completion.
  CollectPort();
  std::string line = (entry.kind == JournalKind::Call ? "call    " : "request ") + Time(entry.time) + " " +
                     entry.request + " -> " + StatusWord(entry.status);
  if (entry.information != 0) line += ", information " + std::to_string(entry.information);
  pending_.push_back(std::move(line));
}

std::vector<std::string> BusMonitor::Collect() {
  CollectPort();
  const std::vector<smclib::EventLogEntry> log = smclib::EventLog();
  for (std::size_t i = logCursor_; i < log.size(); ++i) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(log[i].code));
    const bool driver = log[i].object == static_cast<PVOID>(host_.Driver());
    pending_.push_back(std::string("log     event ") + code + " written against the " +
                       (driver ? "driver object" : "device object"));
  }
  logCursor_ = log.size();
  std::vector<std::string> lines = std::move(pending_);
  pending_.clear();
  return lines;
}

}  // namespace host
