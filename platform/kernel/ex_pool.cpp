// Pool with tag accounting and failure injection. New blocks are filled with
// 0xCD and freed blocks with 0xDD before they go back, so a driver that reads
// memory it did not initialise, or after freeing it, sees garbage quickly
// (under AddressSanitizer, a freed block is poisoned instead).
// The fills cost a 64 KiB memset per library buffer: a Release build, which
// ships or measures and runs no tests, goes without (READER_POOL_FILL).
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <set>
#include <unordered_map>

#include "platform/kernel/scheduler.h"
#include "platform/kernel/spare_nodes.h"

namespace {

// Under AddressSanitizer a freed block is poisoned and any touch of it is
// reported, which the 0xDD fill would only slow down.
#ifdef __SANITIZE_ADDRESS__
constexpr bool kFillFreed = false;
#else
constexpr bool kFillFreed = kernel::pool::kFillPatterns;
#endif

struct Block {
  ULONG tag;
  SIZE_T size;
  kernel::pool::TagStats* stats;  // its tag's entry, which stays where it is
};

using Blocks = std::unordered_map<const void*, Block>;

struct PoolState {
  std::mutex lock;
  Blocks blocks;
  // Records of freed blocks kept for the next allocations, so that the
  // pool's bookkeeping allocates nothing once it has seen its working set.
  kernel::detail::SpareNodes<Blocks> spare{512};
  std::map<ULONG, kernel::pool::TagStats> stats;
  ULONG allocationCount = 0;
  std::set<ULONG> failAt;  // allocation numbers that fail
  std::set<ULONG> failTags;
  // Open file objects whose FsContext, as the open left it, points into a
  // pool block: the block each points into.
  std::unordered_map<const void*, const void*> fileContexts;
};

PoolState& Pool() {
  static PoolState state;
  return state;
}

std::string TagText(ULONG tag) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    const char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    text += (c >= 0x20 && c < 0x7F) ? c : '?';
  }
  return text;
}

constexpr std::align_val_t kAlignment{16};

}  // namespace

namespace kernel::detail {

void ResetPool() {
  PoolState& p = Pool();
  std::lock_guard<std::mutex> guard(p.lock);
  p.blocks.clear();
  // The tags' entries stay, emptied, so that blocks can keep pointing at them.
  for (auto& entry : p.stats) entry.second = kernel::pool::TagStats{};
  p.fileContexts.clear();
  p.allocationCount = 0;
  p.failAt.clear();
  p.failTags.clear();
}

void WatchFileContext(const void* file, const void* context) {
  PoolState& p = Pool();
  std::lock_guard<std::mutex> guard(p.lock);
  const auto at = static_cast<const unsigned char*>(context);
  for (const auto& [base, block] : p.blocks) {
    const auto start = static_cast<const unsigned char*>(base);
    if (at >= start && at < start + (block.size == 0 ? 1 : block.size)) {
      p.fileContexts[file] = base;
      return;
    }
  }
}

void ForgetFileContext(const void* file) {
  PoolState& p = Pool();
  std::lock_guard<std::mutex> guard(p.lock);
  p.fileContexts.erase(file);
}

}  // namespace kernel::detail

namespace {

// The fill a fresh block gets: the 0xCD pattern, or zeros when asked.
enum class FreshFill { Pattern, Zeros };

PVOID Allocate(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag, FreshFill fill) {
  if (PoolType == PagedPool && KeGetCurrentIrql() >= DISPATCH_LEVEL) {
    kernel::verifier::Fail("paged pool allocated at DISPATCH_LEVEL (tag " + TagText(Tag) + ")");
  }
  PoolState& p = Pool();
  const SIZE_T size = NumberOfBytes == 0 ? 1 : NumberOfBytes;
  void* block = ::operator new(size, kAlignment, std::nothrow);
  std::lock_guard<std::mutex> guard(p.lock);
  const ULONG number = ++p.allocationCount;
  kernel::pool::TagStats& stats = p.stats[Tag];
  if (p.failAt.erase(number) != 0 || p.failTags.count(Tag) != 0) {
    stats.failedAllocations++;
    ::operator delete(block, kAlignment);
    return nullptr;
  }
  if (block == nullptr) return nullptr;
  if (fill == FreshFill::Zeros) {
    std::memset(block, 0, size);
  } else if (kernel::pool::kFillPatterns) {
    std::memset(block, 0xCD, size);
  }
  p.spare.Insert(p.blocks, block)->second = Block{Tag, NumberOfBytes, &stats};
  stats.allocations++;
  stats.liveBlocks++;
  stats.liveBytes += NumberOfBytes;
  stats.allocatedBytes += NumberOfBytes;
  if (stats.liveBytes > stats.peakBytes) stats.peakBytes = stats.liveBytes;
  return block;
}

}  // namespace

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return Allocate(PoolType, NumberOfBytes, Tag, FreshFill::Pattern);
}

PVOID ExAllocatePoolZero(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return Allocate(PoolType, NumberOfBytes, Tag, FreshFill::Zeros);
}

void ExFreePoolWithTag(PVOID P, ULONG Tag) {
  PoolState& p = Pool();
  Block block{};
  {
    std::lock_guard<std::mutex> guard(p.lock);
    auto it = p.blocks.find(P);
    if (it == p.blocks.end()) {
      kernel::verifier::Fail("ExFreePool of an address that is not a live pool block (freed twice, or never allocated)");
      return;
    }
    block = it->second;
    if (Tag != 0 && Tag != block.tag) {
      kernel::verifier::Fail("ExFreePoolWithTag: block tagged " + TagText(block.tag) + " freed with tag " +
                             TagText(Tag));
    }
    p.fileContexts.erase(P);  // a file object that goes is no longer open
    for (const auto& [file, base] : p.fileContexts) {
      if (base == P) {
        kernel::verifier::Fail("pool block tagged " + TagText(block.tag) +
                               " freed while the FsContext of an open file object points into it");
      }
    }
    p.spare.Retire(p.blocks, it);
    kernel::pool::TagStats& stats = *block.stats;
    stats.frees++;
    stats.liveBlocks--;
    stats.liveBytes -= block.size;
  }
  {
    std::string what;
    std::lock_guard<std::mutex> guard(kernel::detail::TheScheduler().lock);
    kernel::detail::ForgetObjectsInBlockLocked(P, block.size, &what);
    kernel::detail::ForgetWorkItemsInBlockLocked(P, block.size, &what);
    if (!what.empty()) {
      kernel::verifier::Fail("pool block tagged " + TagText(block.tag) + " freed while it holds " + what);
    }
  }
  if (kFillFreed) std::memset(P, 0xDD, block.size == 0 ? 1 : block.size);
  ::operator delete(P, kAlignment);
}

void ExFreePool(PVOID P) { ExFreePoolWithTag(P, 0); }

namespace kernel::pool {

TagStats Stats(ULONG tag) {
  PoolState& p = Pool();
  std::lock_guard<std::mutex> guard(p.lock);
  auto it = p.stats.find(tag);
  return it == p.stats.end() ? TagStats{} : it->second;
}

TagStats Totals() {
  PoolState& p = Pool();
  std::lock_guard<std::mutex> guard(p.lock);
  TagStats all;
  for (const auto& [tag, stats] : p.stats) {
    all.liveBlocks += stats.liveBlocks;
    all.liveBytes += stats.liveBytes;
    all.allocations += stats.allocations;
    all.frees += stats.frees;
    all.failedAllocations += stats.failedAllocations;
    all.allocatedBytes += stats.allocatedBytes;
    // Tags peak at different moments: the sum bounds the peak of the whole.
    all.peakBytes += stats.peakBytes;
  }
  return all;
}

void ResetPeaks() {
  PoolState& p = Pool();
  std::lock_guard<std::mutex> guard(p.lock);
  for (auto& entry : p.stats) entry.second.peakBytes = entry.second.liveBytes;
}

ULONG AllocationCount() {
  PoolState& p = Pool();
  std::lock_guard<std::mutex> guard(p.lock);
  return p.allocationCount;
}

void FailAllocation(ULONG nth) {
  PoolState& p = Pool();
  std::lock_guard<std::mutex> guard(p.lock);
  p.failAt.insert(p.allocationCount + nth);
}

void FailTag(ULONG tag, bool fail) {
  PoolState& p = Pool();
  std::lock_guard<std::mutex> guard(p.lock);
  if (fail) {
    p.failTags.insert(tag);
  } else {
    p.failTags.erase(tag);
  }
}

void ClearFailures() {
  PoolState& p = Pool();
  std::lock_guard<std::mutex> guard(p.lock);
  p.failAt.clear();
  p.failTags.clear();
}

bool IsLiveBlock(const void* address, ULONG* tag, SIZE_T* size) {
  PoolState& p = Pool();
  std::lock_guard<std::mutex> guard(p.lock);
  auto it = p.blocks.find(address);
  if (it == p.blocks.end()) return false;
  if (tag != nullptr) *tag = it->second.tag;
  if (size != nullptr) *size = it->second.size;
  return true;
}

}  // namespace kernel::pool
