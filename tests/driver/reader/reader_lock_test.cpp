// ReaderLock and DelayMilliseconds in simulated time.
#include <gtest/gtest.h>

#include "driver/reader/delay.h"
#include "driver/reader/reader_lock.h"
#include "tests/fixture/reader_device.h"

namespace {

using readertest::ReaderDevice;

constexpr LONGLONG Ms = kernel::kMillisecond;

TEST(ReaderLock, IsReentrantForItsOwner) {
  ReaderDevice device;
  DeviceContext& context = device.Context();
  EXPECT_EQ(AcquireReaderLock(&context), STATUS_SUCCESS);
  EXPECT_EQ(AcquireReaderLock(&context), STATUS_SUCCESS);
  EXPECT_EQ(context.ReaderLock.Owner, KeGetCurrentThread());
  EXPECT_EQ(context.ReaderLock.Depth, 2);
  EXPECT_EQ(ReleaseReaderLock(&context), STATUS_SUCCESS);
  EXPECT_EQ(context.ReaderLock.Owner, KeGetCurrentThread());
  EXPECT_EQ(ReleaseReaderLock(&context), STATUS_SUCCESS);
  EXPECT_EQ(context.ReaderLock.Owner, nullptr);
  EXPECT_EQ(context.ReaderLock.Depth, 0);
  // A release too many changes nothing.
  EXPECT_EQ(ReleaseReaderLock(&context), STATUS_SUCCESS);
  EXPECT_EQ(context.ReaderLock.Depth, 0);
}

TEST(ReaderLock, AnotherThreadPollsEveryHundredMillisecondsUntilTheLastRelease) {
  ReaderDevice device;
  DeviceContext& context = device.Context();
  AcquireReaderLock(&context);
  AcquireReaderLock(&context);
  const LONGLONG start = kernel::Now();
  LONGLONG acquiredAt = 0;
  bool ownedByItself = false;
  kernel::SystemThread other("other", [&] {
    AcquireReaderLock(&context);
    acquiredAt = kernel::Now();
    ownedByItself = context.ReaderLock.Owner == KeGetCurrentThread() && context.ReaderLock.Depth == 1;
    ReleaseReaderLock(&context);
  });
  kernel::SleepFor(150 * Ms);
  ReleaseReaderLock(&context);  // still held once: the try at 200 ms fails
  kernel::SleepFor(100 * Ms);
  ReleaseReaderLock(&context);  // free at 250 ms
  other.Join();
  // Tries at 0, 100, 200 and 300 ms.
  EXPECT_EQ(acquiredAt - start, 300 * Ms);
  EXPECT_TRUE(ownedByItself);
  EXPECT_EQ(context.ReaderLock.Owner, nullptr);
}

TEST(ReaderLock, AReleaseByAnotherThreadChangesNothing) {
  ReaderDevice device;
  DeviceContext& context = device.Context();
  AcquireReaderLock(&context);
  kernel::SystemThread other("other", [&] { ReleaseReaderLock(&context); });
  other.Join();
  EXPECT_EQ(context.ReaderLock.Owner, KeGetCurrentThread());
  EXPECT_EQ(context.ReaderLock.Depth, 1);
  ReleaseReaderLock(&context);
}

TEST(DelayMilliseconds, SleepsBelowDispatchLevelAndStallsAtIt) {
  kernel::Platform platform{kernel::ClockMode::Simulated};
  kernel::verifier::Capture verifier;
  LONGLONG before = kernel::Now();
  DelayMilliseconds(25);
  EXPECT_EQ(kernel::Now() - before, 25 * Ms);

  KIRQL oldIrql;
  KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
  before = kernel::Now();
  DelayMilliseconds(2);  // forty 50-us stalls
  const LONGLONG stalled = kernel::Now() - before;
  before = kernel::Now();
  DelayMilliseconds(0);
  const LONGLONG none = kernel::Now() - before;
  KeLowerIrql(oldIrql);
  EXPECT_EQ(stalled, 2 * Ms);
  EXPECT_EQ(none, 0);

  before = kernel::Now();
  DelayMilliseconds(0);
  EXPECT_EQ(kernel::Now() - before, 0);
  EXPECT_TRUE(verifier.Messages().empty());
}

}  // namespace
