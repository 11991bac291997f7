#include "host/journal.h"

#include "platform/kernel/platform.h"

namespace host {

void Journal::Record(std::string request, NTSTATUS status, ULONG_PTR information, JournalKind kind) {
  const JournalEntry entry{kernel::Now(), kind, std::move(request), status, information};
  std::function<void(const JournalEntry&)> listener;
  {
    std::lock_guard<std::mutex> guard(lock_);
    entries_.push_back(entry);
    listener = listener_;
  }
  if (listener) listener(entry);
}

std::vector<JournalEntry> Journal::Entries() const {
  std::lock_guard<std::mutex> guard(lock_);
  return entries_;
}

std::vector<JournalEntry> Journal::Take() {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<JournalEntry> taken;
  taken.swap(entries_);
  return taken;
}

void Journal::SetListener(std::function<void(const JournalEntry&)> listener) {
  std::lock_guard<std::mutex> guard(lock_);
  listener_ = std::move(listener);
}

std::size_t Journal::RequestCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  std::size_t count = 0;
  for (const JournalEntry& entry : entries_) count += entry.kind == JournalKind::Request ? 1 : 0;
  return count;
}

}  // namespace host
