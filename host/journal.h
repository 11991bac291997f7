// Every request the host sends, in the order they completed, with the status
// and information they came back with: what traces and summaries show.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel/wdm.h"

namespace host {

// A request is an IRP sent to the device stack; a call is one of the
// driver's entry points called directly (DriverEntry, AddDevice).
enum class JournalKind { Request, Call };

struct JournalEntry {
  LONGLONG time = 0;  // system time at completion
  JournalKind kind = JournalKind::Request;
  std::string request;  // "IRP_MN_START_DEVICE", "IOCTL_SMARTCARD_TRANSMIT", "AddDevice"
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;
};

class Journal {
 public:
  void Record(std::string request, NTSTATUS status, ULONG_PTR information = 0, JournalKind kind = JournalKind::Request);
  std::vector<JournalEntry> Entries() const;
  // The entries so far, emptied in the same step (a long-running host drains
  // the journal so it does not grow for ever).
  std::vector<JournalEntry> Take();
  // Told of every entry as it is recorded, on the recording thread.
  void SetListener(std::function<void(const JournalEntry&)> listener);
  // The requests (not the calls) recorded so far.
  std::size_t RequestCount() const;

 private:
  mutable std::mutex lock_;
  std::vector<JournalEntry> entries_;
  std::function<void(const JournalEntry&)> listener_;
};

}  // namespace host
