// Pool accounting per tag (what the leak checks of every suite read) and
// allocation failures on demand.
#include <gtest/gtest.h>

#include "platform/kernel/platform.h"

namespace {

constexpr ULONG kTag = PoolTag("TQM9");

TEST(PoolTest, LiveBlocksAndBytesPerTag) {
  kernel::Platform platform{kernel::ClockMode::Simulated};
  void* a = ExAllocatePoolWithTag(NonPagedPool, 0x10400, kTag);
  void* b = ExAllocatePoolWithTag(NonPagedPool, 512, kTag);
  void* other = ExAllocatePoolWithTag(NonPagedPool, 16, PoolTag("Othr"));
  EXPECT_EQ(kernel::pool::Stats(kTag).liveBlocks, 2u);
  EXPECT_EQ(kernel::pool::Stats(kTag).liveBytes, 0x10400u + 512u);
  ULONG tag = 0;
  SIZE_T size = 0;
  EXPECT_TRUE(kernel::pool::IsLiveBlock(b, &tag, &size));
  EXPECT_EQ(tag, kTag);
  EXPECT_EQ(size, 512u);
  EXPECT_EQ(static_cast<UCHAR*>(b)[0], 0xCD) << "fresh pool is not zeroed";
  ExFreePool(a);
  ExFreePool(b);
  ExFreePool(other);
  const kernel::pool::TagStats stats = kernel::pool::Stats(kTag);
  EXPECT_EQ(stats.liveBlocks, 0u);
  EXPECT_EQ(stats.liveBytes, 0u);
  EXPECT_EQ(stats.allocations, 2u);
  EXPECT_EQ(stats.frees, 2u);
  EXPECT_FALSE(kernel::pool::IsLiveBlock(b));
}

TEST(PoolTest, TheNthAllocationOrEveryOneOfATagFails) {
  kernel::Platform platform{kernel::ClockMode::Simulated};
  auto allocate = [](ULONG tag) { return ExAllocatePoolWithTag(NonPagedPool, 8, tag); };
  kernel::pool::FailAllocation(3);
  void* blocks[] = {allocate(kTag), allocate(PoolTag("Othr")), allocate(kTag), allocate(kTag)};
  EXPECT_TRUE(blocks[0] != nullptr && blocks[1] != nullptr && blocks[3] != nullptr);
  EXPECT_EQ(blocks[2], nullptr) << "the third allocation, whatever the tags before it";
  EXPECT_EQ(kernel::pool::Stats(kTag).failedAllocations, 1u);
  for (void* block : {blocks[0], blocks[1], blocks[3]}) ExFreePool(block);

  kernel::pool::FailTag(kTag, true);
  EXPECT_EQ(allocate(kTag), nullptr);
  EXPECT_EQ(allocate(kTag), nullptr);
  void* other = allocate(PoolTag("Othr"));
  EXPECT_NE(other, nullptr);
  ExFreePool(other);
  // Requests come from pool too, so their allocation can fail as well.
  kernel::pool::FailTag(PoolTag("Irp "), true);
  EXPECT_EQ(IoAllocateIrp(2, FALSE), nullptr);
  kernel::pool::ClearFailures();
  void* again = allocate(kTag);
  EXPECT_NE(again, nullptr);
  ExFreePool(again);
  PIRP irp = IoAllocateIrp(2, FALSE);
  ASSERT_NE(irp, nullptr);
  IoFreeIrp(irp);
}

}  // namespace
