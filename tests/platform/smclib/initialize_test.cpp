// SmartcardInitialize, SmartcardExit and the remove lock: what the library
// allocates and gives back, how it fails, and how removal waits for the
// holders of the remove lock.
#include <gtest/gtest.h>

#include <atomic>

#include "tests/platform/smclib/library_device.h"

namespace smclibtest {
namespace {

class InitializeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    extension.Version = SMCLIB_VERSION;
    extension.SmartcardRequest.BufferSize = TestBufferSize;
    extension.SmartcardReply.BufferSize = 600;
  }
  void TearDown() override {
    kernel::pool::ClearFailures();
    kernel::faults::Clear();
    EXPECT_EQ(kernel::pool::LiveBlocks(LibraryTag), 0u);
  }
  void ExpectNothingAllocated() {
    EXPECT_EQ(extension.OsData, nullptr);
    EXPECT_EQ(extension.SmartcardRequest.Buffer, nullptr);
    EXPECT_EQ(extension.SmartcardReply.Buffer, nullptr);
    EXPECT_EQ(kernel::pool::LiveBlocks(LibraryTag), 0u);
  }

  kernel::Platform platform{kernel::ClockMode::Simulated};
  SMARTCARD_EXTENSION extension{};
};

TEST_F(InitializeTest, AllocatesTheLibrarysDataAndBuffersAndExitFreesThem) {
  ASSERT_EQ(SmartcardInitialize(&extension), STATUS_SUCCESS);
  ASSERT_NE(extension.OsData, nullptr);
  EXPECT_EQ(extension.OsData->SmartcardExtension, &extension);
  EXPECT_EQ(extension.OsData->DeviceObject, nullptr) << "the driver stores its device object itself";
  EXPECT_EQ(extension.OsData->CurrentIrp, nullptr);
  EXPECT_EQ(extension.OsData->NotificationIrp, nullptr);

  ULONG tag = 0;
  SIZE_T size = 0;
  EXPECT_TRUE(kernel::pool::IsLiveBlock(extension.OsData, &tag));
  EXPECT_EQ(tag, LibraryTag);
  ASSERT_TRUE(kernel::pool::IsLiveBlock(extension.SmartcardRequest.Buffer, &tag, &size));
  EXPECT_EQ(size, TestBufferSize);
  ASSERT_TRUE(kernel::pool::IsLiveBlock(extension.SmartcardReply.Buffer, &tag, &size));
  EXPECT_EQ(size, 600u);
  EXPECT_EQ(kernel::pool::LiveBlocks(LibraryTag), 3u);

  SmartcardExit(&extension);
  ExpectNothingAllocated();
}

TEST_F(InitializeTest, BufferSizesAreCheckedOnTheWayIn) {
  extension.SmartcardRequest.BufferSize = 0;
  extension.SmartcardReply.BufferSize = 10;
  ASSERT_EQ(SmartcardInitialize(&extension), STATUS_SUCCESS);
  EXPECT_EQ(extension.SmartcardRequest.BufferSize, MIN_BUFFER_SIZE);
  EXPECT_EQ(extension.SmartcardReply.BufferSize, MIN_BUFFER_SIZE);
  SmartcardExit(&extension);

  extension.SmartcardReply.BufferSize = MAX_BUFFER_SIZE + 1;
  EXPECT_EQ(SmartcardInitialize(&extension), STATUS_INVALID_PARAMETER);
  ExpectNothingAllocated();
}

TEST_F(InitializeTest, VersionOutsideTheKnownLayoutsIsRefused) {
  for (ULONG version : {0u, SMCLIB_VERSION_REQUIRED - 1, SMCLIB_VERSION + 1}) {
    extension.Version = version;
    EXPECT_EQ(SmartcardInitialize(&extension), STATUS_UNSUCCESSFUL) << std::hex << version;
    ExpectNothingAllocated();
  }
  extension.Version = SMCLIB_VERSION_REQUIRED;
  ASSERT_EQ(SmartcardInitialize(&extension), STATUS_SUCCESS);
  SmartcardExit(&extension);
}

TEST_F(InitializeTest, SecondInitializeIsRefused) {
  ASSERT_EQ(SmartcardInitialize(&extension), STATUS_SUCCESS);
  PSMARTCARD_OS_DATA first = extension.OsData;
  EXPECT_EQ(SmartcardInitialize(&extension), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(extension.OsData, first);
  SmartcardExit(&extension);
}

TEST_F(InitializeTest, EveryAllocationThatFailsLeavesNothingBehind) {
  for (ULONG nth = 1; nth <= 3; ++nth) {
    kernel::pool::FailAllocation(nth);
    EXPECT_EQ(SmartcardInitialize(&extension), STATUS_INSUFFICIENT_RESOURCES) << "allocation " << nth;
    ExpectNothingAllocated();
    kernel::pool::ClearFailures();
  }
}

TEST_F(InitializeTest, PlannedFailureForDeviceCreationTests) {
  kernel::faults::FailNext("SmartcardInitialize", STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(SmartcardInitialize(&extension), STATUS_INSUFFICIENT_RESOURCES);
  ExpectNothingAllocated();
  ASSERT_EQ(SmartcardInitialize(&extension), STATUS_SUCCESS) << "the failure is used up";
  SmartcardExit(&extension);
}

TEST_F(InitializeTest, ExitWithoutInitializeDoesNothing) {
  SmartcardExit(&extension);
  ExpectNothingAllocated();
}

class RemoveLockTest : public InitializeTest {
 protected:
  void SetUp() override {
    InitializeTest::SetUp();
    ASSERT_EQ(SmartcardInitialize(&extension), STATUS_SUCCESS);
  }
  void TearDown() override {
    SmartcardExit(&extension);
    InitializeTest::TearDown();
  }
};

TEST_F(RemoveLockTest, AcquisitionsSucceedUntilRemovalBegins) {
  EXPECT_EQ(SmartcardAcquireRemoveLock(&extension), STATUS_SUCCESS);
  EXPECT_EQ(SmartcardAcquireRemoveLock(&extension), STATUS_SUCCESS);
  SmartcardReleaseRemoveLock(&extension);
  SmartcardReleaseRemoveLock(&extension);

  // Nobody holds it: the wait returns at once.
  SmartcardReleaseRemoveLockAndWait(&extension);
  EXPECT_EQ(SmartcardAcquireRemoveLock(&extension), STATUS_DELETE_PENDING);
  EXPECT_EQ(SmartcardAcquireRemoveLock(&extension), STATUS_DELETE_PENDING);
}

TEST_F(RemoveLockTest, RemovalWaitsForEveryHolder) {
  std::atomic<int> released{0};
  std::atomic<NTSTATUS> lateAcquire{STATUS_SUCCESS};
  ASSERT_EQ(SmartcardAcquireRemoveLock(&extension), STATUS_SUCCESS);
  ASSERT_EQ(SmartcardAcquireRemoveLock(&extension), STATUS_SUCCESS);
  // Two holders (an open handle, a request in progress) let go later, on their own threads.
  kernel::SystemThread handle("handle", [&] {
    kernel::SleepFor(2 * kernel::kSecond);
    lateAcquire = SmartcardAcquireRemoveLock(&extension);
    released++;
    SmartcardReleaseRemoveLock(&extension);
  });
  kernel::SystemThread request("request", [&] {
    kernel::SleepFor(kernel::kSecond);
    released++;
    SmartcardReleaseRemoveLock(&extension);
  });

  SmartcardReleaseRemoveLockAndWait(&extension);
  EXPECT_EQ(released, 2) << "removal returned while a holder still held the lock";
  EXPECT_EQ(lateAcquire, STATUS_DELETE_PENDING) << "a new holder was let in after removal began";
  handle.Join();
  request.Join();
}

TEST(RemoveLockThroughRequestsTest, RequestAfterRemovalIsRefusedByTheGate) {
  LibraryDevice device;
  Script() = ReaderScript{};
  device.Extension().ReaderFunction[RDF_CARD_EJECT] = ScriptedReaderFunction;
  SmartcardReleaseRemoveLockAndWait(&device.Extension());
  EXPECT_EQ(device.Control(IOCTL_SMARTCARD_EJECT, {}, 0).status, STATUS_DEVICE_REMOVED);
  EXPECT_EQ(Script().calls, 0);
  SmartcardExit(&device.Extension());
}

}  // namespace
}  // namespace smclibtest
