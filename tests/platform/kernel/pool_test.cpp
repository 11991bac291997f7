// Pool accounting per tag, which the leak checks of every suite read, and
// allocation failures on demand.
#include <gtest/gtest.h>

#include "platform/kernel/platform.h"

namespace {

constexpr ULONG kTag = PoolTag("TQM9");

void* Allocate(SIZE_T size, ULONG tag = kTag) { return ExAllocatePoolWithTag(NonPagedPool, size, tag); }

TEST(PoolTest, LiveBlocksAndBytesPerTag) {
  kernel::Platform platform{kernel::ClockMode::Simulated};
  void* blocks[] = {Allocate(0x10400), Allocate(512), Allocate(16, PoolTag("Othr"))};
  EXPECT_EQ(kernel::pool::Stats(kTag).liveBlocks, 2u);
  EXPECT_EQ(kernel::pool::Stats(kTag).liveBytes, 0x10400u + 512u);
  EXPECT_EQ(static_cast<UCHAR*>(blocks[1])[0], 0xCD) << "fresh pool is not zeroed";
  for (void* block : blocks) ExFreePool(block);
  EXPECT_EQ(kernel::pool::Stats(kTag).liveBlocks, 0u);
  EXPECT_EQ(kernel::pool::Stats(kTag).liveBytes, 0u);
  EXPECT_FALSE(kernel::pool::IsLiveBlock(blocks[1]));
}

TEST(PoolTest, TheNthAllocationOrEveryOneOfATagFails) {
  kernel::Platform platform{kernel::ClockMode::Simulated};
  kernel::pool::FailAllocation(3);
  void* blocks[] = {Allocate(8), Allocate(8, PoolTag("Othr")), Allocate(8), Allocate(8)};
  EXPECT_EQ(blocks[2], nullptr) << "the third allocation, whatever the tags before it";
  for (void* block : {blocks[0], blocks[1], blocks[3]}) ExFreePool(block);
  kernel::pool::FailTag(kTag, true);
  kernel::pool::FailTag(PoolTag("Irp "), true);
  EXPECT_EQ(Allocate(8), nullptr);
  EXPECT_EQ(IoAllocateIrp(2, FALSE), nullptr) << "requests come from pool too";
  void* other = Allocate(8, PoolTag("Othr"));
  EXPECT_NE(other, nullptr);
  ExFreePool(other);
  EXPECT_EQ(kernel::pool::Stats(kTag).failedAllocations, 2u);
}

}  // namespace
