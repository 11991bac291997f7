// SmartcardLogError and the event log it writes to.
#include "platform/smclib/event_log.h"

#include <mutex>

#include "platform/smclib/smclib.h"

namespace smclib {
namespace {

struct Log {
  std::mutex lock;
  std::vector<EventLogEntry> entries;
};

Log& TheLog() {
  static Log log;
  return log;
}

}  // namespace

std::vector<EventLogEntry> EventLog() {
  Log& log = TheLog();
  std::lock_guard<std::mutex> guard(log.lock);
  return log.entries;
}

void ClearEventLog() {
  Log& log = TheLog();
  std::lock_guard<std::mutex> guard(log.lock);
  log.entries.clear();
}

}  // namespace smclib

VOID NTAPI SmartcardLogError(PVOID Object, NTSTATUS ErrorCode, PUNICODE_STRING Insertion, ULONG DumpData) {
  // The log holds no insertion strings or dump data: nobody who reads it
  // here needs them.
  UNREFERENCED_PARAMETER(Insertion);
  UNREFERENCED_PARAMETER(DumpData);
  smclib::Log& log = smclib::TheLog();
  std::lock_guard<std::mutex> guard(log.lock);
  log.entries.push_back(smclib::EventLogEntry{Object, ErrorCode});
}
