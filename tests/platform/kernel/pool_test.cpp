// Pool accounting per tag and failure injection.
#include <gtest/gtest.h>

#include "platform/kernel/platform.h"

namespace {

constexpr ULONG kTag = PoolTag("TQM9");

class PoolTest : public ::testing::Test {
 protected:
  kernel::Platform platform{kernel::ClockMode::Simulated};
};

TEST_F(PoolTest, TagReadsForwardsInMemory) {
  const ULONG tag = PoolTag("TQM9");
  EXPECT_EQ(std::memcmp(&tag, "TQM9", 4), 0);
}

TEST_F(PoolTest, LiveBlocksAndBytesPerTag) {
  void* a = ExAllocatePoolWithTag(NonPagedPool, 0x10400, kTag);
  void* b = ExAllocatePoolWithTag(NonPagedPool, 512, kTag);
  void* other = ExAllocatePoolWithTag(NonPagedPool, 16, PoolTag("Othr"));
  kernel::pool::TagStats stats = kernel::pool::Stats(kTag);
  EXPECT_EQ(stats.liveBlocks, 2u);
  EXPECT_EQ(stats.liveBytes, 0x10400u + 512u);
  ULONG tag = 0;
  SIZE_T size = 0;
  EXPECT_TRUE(kernel::pool::IsLiveBlock(b, &tag, &size));
  EXPECT_EQ(tag, kTag);
  EXPECT_EQ(size, 512u);
  EXPECT_EQ(static_cast<UCHAR*>(b)[0], 0xCD) << "fresh pool is not zeroed";
  ExFreePool(a);
  ExFreePoolWithTag(b, kTag);
  ExFreePool(other);
  stats = kernel::pool::Stats(kTag);
  EXPECT_EQ(stats.liveBlocks, 0u);
  EXPECT_EQ(stats.allocations, 2u);
  EXPECT_EQ(stats.frees, 2u);
  EXPECT_FALSE(kernel::pool::IsLiveBlock(b));
}

// The benchmarks read what a transmission allocates and how high it goes.
TEST_F(PoolTest, BytesAllocatedAndPeakPerTagAndInAll) {
  void* a = ExAllocatePoolWithTag(NonPagedPool, 1000, kTag);
  void* b = ExAllocatePoolWithTag(NonPagedPool, 300, kTag);
  ExFreePool(b);
  void* c = ExAllocatePoolWithTag(NonPagedPool, 100, kTag);
  void* other = ExAllocatePoolWithTag(NonPagedPool, 16, PoolTag("Othr"));
  kernel::pool::TagStats stats = kernel::pool::Stats(kTag);
  EXPECT_EQ(stats.allocatedBytes, 1400u);
  EXPECT_EQ(stats.peakBytes, 1300u);
  EXPECT_EQ(stats.liveBytes, 1100u);
  const kernel::pool::TagStats all = kernel::pool::Totals();
  EXPECT_EQ(all.allocatedBytes, 1416u);
  EXPECT_EQ(all.liveBytes, 1116u);
  EXPECT_EQ(all.allocations, 4u);
  kernel::pool::ResetPeaks();
  EXPECT_EQ(kernel::pool::Stats(kTag).peakBytes, 1100u);
  ExFreePool(a);
  ExFreePool(c);
  ExFreePool(other);
  EXPECT_EQ(kernel::pool::Stats(kTag).peakBytes, 1100u) << "frees do not lower the peak";
}

TEST_F(PoolTest, TheNthAllocationFails) {
  kernel::pool::FailAllocation(3);
  void* first = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  void* second = ExAllocatePoolWithTag(NonPagedPool, 8, PoolTag("Othr"));
  void* third = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  void* fourth = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  EXPECT_NE(first, nullptr);
  EXPECT_NE(second, nullptr);
  EXPECT_EQ(third, nullptr);
  EXPECT_NE(fourth, nullptr);
  EXPECT_EQ(kernel::pool::Stats(kTag).failedAllocations, 1u);
  ExFreePool(first);
  ExFreePool(second);
  ExFreePool(fourth);
}

TEST_F(PoolTest, EveryAllocationOfATagFailsWhileAsked) {
  kernel::pool::FailTag(kTag, true);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTag), nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTag), nullptr);
  void* other = ExAllocatePoolWithTag(NonPagedPool, 8, PoolTag("Othr"));
  EXPECT_NE(other, nullptr);
  kernel::pool::FailTag(kTag, false);
  void* again = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  EXPECT_NE(again, nullptr);
  ExFreePool(other);
  ExFreePool(again);
}

TEST_F(PoolTest, RequestsComeFromPoolSoTheirAllocationCanFailToo) {
  kernel::pool::FailTag(PoolTag("Irp "), true);
  EXPECT_EQ(IoAllocateIrp(2, FALSE), nullptr);
  kernel::pool::ClearFailures();
  PIRP irp = IoAllocateIrp(2, FALSE);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(irp->StackCount, 2);
  EXPECT_EQ(irp->CurrentLocation, 3);
  IoFreeIrp(irp);
}

}  // namespace
