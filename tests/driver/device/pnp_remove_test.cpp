// Surprise removal and removal: the poll stopped without cutting an exchange
// off, handles, tracking requests and requests inside the driver waited for
// or answered, and nothing left behind.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "driver/device/io_count.h"
#include "driver/reader/reader_lock.h"
#include "tests/fixture/plugged_reader.h"

namespace {

using readertest::Bench;
using readertest::Ms;
using readertest::PluggedReader;
using readertest::ReaderPoweringCards;

constexpr LONGLONG Seconds = kernel::kSecond;

struct Started {
  explicit Started(Bench& bench, emu::ReaderConfig config = readertest::ReaderWithFirmware("2.27"))
      : r(bench, std::move(config)) {
    EXPECT_EQ(r.Add(), STATUS_SUCCESS);
    EXPECT_EQ(r.Start(), STATUS_SUCCESS);
    Bench::Wait(600 * Ms);
    r.ClearTrace();
  }
  PluggedReader r;
};

// A removal sent from a thread of its own, for removals that wait.
class RemovalInFlight {
 public:
  explicit RemovalInFlight(PluggedReader& r)
      : thread_("removal", [this, &r] {
          status_ = r.Pnp(IRP_MN_REMOVE_DEVICE);
          done_ = true;
        }) {}
  bool Done() const { return done_; }
  NTSTATUS Finish() {
    thread_.Join();
    return status_;
  }

 private:
  std::atomic<bool> done_{false};
  NTSTATUS status_ = STATUS_PENDING;
  kernel::SystemThread thread_;
};

TEST(Removal, OfAStartedDeviceDisablesTheInterfaceAndFreesEverything) {
  Bench bench;
  Started s(bench, ReaderPoweringCards());
  PluggedReader& r = s.r;
  ASSERT_EQ(r.InterfaceEnabled(), std::optional<bool>(true));
  EXPECT_EQ(r.Remove(), STATUS_SUCCESS);
  EXPECT_EQ(r.InterfaceEnabled(), std::optional<bool>(false));
  EXPECT_TRUE(r.Frames().empty());
}

TEST(Removal, MayComeAsSoonAsTheStartIsComplete) {
  Bench bench;
  PluggedReader r(bench);
  ASSERT_EQ(r.Add(), STATUS_SUCCESS);
  DeviceContext& context = r.Context();
  // The start is preempted as it gives its I/O count back, its request
  // complete; the Plug and Play manager's removal comes then.
  std::unique_ptr<RemovalInFlight> removal;
  std::atomic<bool> removing{false};
  kernel::faults::PreemptAfterRelease(&context.IoCountLock, [&] {
    if (removing || context.IoCount != 1 || context.SmartcardExtension.ReaderCapabilities.CurrentState == 0) {
      return false;
    }
    removing = true;
    removal = std::make_unique<RemovalInFlight>(r);
    Bench::Wait(2000 * Ms);
    return true;
  });
  EXPECT_EQ(r.Start(), STATUS_SUCCESS);
  ASSERT_NE(removal, nullptr);
  EXPECT_EQ(removal->Finish(), STATUS_SUCCESS);
  r.ExpectDeviceGone();
}

TEST(Removal, OfADeviceNeverStartedFreesEverything) {
  Bench bench;
  PluggedReader r(bench);
  ASSERT_EQ(r.Add(), STATUS_SUCCESS);
  EXPECT_EQ(r.Remove(), STATUS_SUCCESS);
  EXPECT_TRUE(r.Port().Trace().empty());
}

TEST(Removal, AnswersAWaitingTrackingRequestWithSuccess) {
  Bench bench;
  Started s(bench);
  PluggedReader& r = s.r;
  auto tracking = r.TrackCard(IOCTL_SMARTCARD_IS_PRESENT);
  Bench::Wait(1200 * Ms);
  ASSERT_FALSE(tracking->Done());
  EXPECT_EQ(r.Remove(), STATUS_SUCCESS);
  ASSERT_TRUE(tracking->Done());
  const kernel::IoResult result = tracking->Wait();
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 0u);
}

TEST(SurpriseRemoval, DuringAPollLetsTheExchangeFinishAndStartsNoOther) {
  Bench bench;
  Started s(bench);
  PluggedReader& r = s.r;
  // A waiting tracking request keeps the poll going; its next status reply is slow.
  auto tracking = r.TrackCard(IOCTL_SMARTCARD_IS_PRESENT);
  r.Reader().ScriptFault(emu::ReplyFault::Delay(200 * Ms));
  Bench::Wait(600 * Ms);
  ASSERT_EQ(r.Commands(), std::vector<std::uint8_t>{0x31}) << "the poll's status command is on its way";
  ASSERT_EQ(r.Reader().QueuedReplies(), 1u);

  EXPECT_EQ(r.Pnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
  EXPECT_EQ(r.Context().DeviceRemoved, 1);
  EXPECT_EQ(InterlockedCompareExchange(&r.Context().WorkItemsPending, 0, 0), 0);
  EXPECT_EQ(r.Reader().QueuedReplies(), 0u) << "the reply was read before the device was marked removed";
  ASSERT_FALSE(r.Port().BulkTrace().empty());
  EXPECT_EQ(r.Port().BulkTrace().back().kind, usb::TraceEntry::Kind::BulkIn);
  EXPECT_EQ(r.Port().BulkTrace().back().status, STATUS_SUCCESS);

  Bench::Wait(3 * Seconds);
  EXPECT_EQ(r.Commands(), std::vector<std::uint8_t>{0x31}) << "no command after the removal";
  EXPECT_FALSE(tracking->Done());
  EXPECT_EQ(r.Remove(), STATUS_SUCCESS);
  EXPECT_EQ(tracking->Wait().status, STATUS_SUCCESS);
}

TEST(Removal, WaitsForAnOpenHandleToClose) {
  Bench bench;
  Started s(bench);
  PluggedReader& r = s.r;
  NTSTATUS opened = STATUS_PENDING;
  PFILE_OBJECT file = r.Open(u"", &opened);
  ASSERT_EQ(opened, STATUS_SUCCESS);

  RemovalInFlight removal(r);
  Bench::Wait(2 * Seconds);
  EXPECT_FALSE(removal.Done());
  EXPECT_EQ(r.Context().DeviceRemoved, 1);
  EXPECT_NE(IoGetAttachedDevice(r.Port().PhysicalDeviceObject()), r.Port().PhysicalDeviceObject())
      << "the device waits for its handle";
  r.CloseDuringRemoval(file);
  EXPECT_EQ(removal.Finish(), STATUS_SUCCESS);
  r.ExpectDeviceGone();
}

TEST(Removal, WaitsForTheLastRequestInsideTheDriver) {
  Bench bench;
  Started s(bench);
  PluggedReader& r = s.r;
  PDEVICE_OBJECT device = r.Device();
  // A dispatch routine still at work counts itself in.
  IoIncrement(device);
  RemovalInFlight removal(r);
  Bench::Wait(2 * Seconds);
  EXPECT_FALSE(removal.Done());
  EXPECT_EQ(r.Context().IoCount, 1);
  EXPECT_EQ(KeReadStateEvent(&r.Context().IoDrainedEvent), 0);
  EXPECT_EQ(IoDecrement(device), 0);
  EXPECT_EQ(removal.Finish(), STATUS_SUCCESS);
  r.ExpectDeviceGone();
}

TEST(Removal, WhosePollWorkItemOutlastsTheWaitStillEndsAndFreesNothingUnderIt) {
  Bench bench;
  Started s(bench);
  PluggedReader& r = s.r;
  DeviceContext* context = &r.Context();
  // The tracking request arms the poll; then a long card exchange holds the
  // reader, and the poll's work item waits behind it.
  auto tracking = r.TrackCard(IOCTL_SMARTCARD_IS_PRESENT);
  kernel::SystemThread exchange("long exchange", [context] {
    AcquireReaderLock(context);
    kernel::SleepFor(40 * Seconds);
    ReleaseReaderLock(context);
  });
  Bench::Wait(1 * Seconds);
  ASSERT_EQ(InterlockedCompareExchange(&context->WorkItemsPending, 0, 0), 1);

  RemovalInFlight removal(r);
  Bench::Wait(35 * Seconds);
  EXPECT_FALSE(removal.Done());
  EXPECT_EQ(InterlockedCompareExchange(&context->WorkItemsPending, 0, 0), 1) << "the 30-second wait has run out";
  EXPECT_EQ(context->DeviceRemoved, 0) << "the removal waits for the reader";
  EXPECT_EQ(removal.Finish(), STATUS_SUCCESS);
  exchange.Join();
  r.ExpectDeviceGone();
  EXPECT_EQ(tracking->Wait().status, STATUS_SUCCESS);
  // Once the reader is free, the work item either reads the status before
  // the removal marks the device removed, or finds it removed.
  EXPECT_LE(r.Frames().size(), 1u);
}

// Keeps a critical worker thread busy for 100 seconds.
void OccupyWorker(PVOID) { kernel::SleepFor(100 * Seconds); }

TEST(Removal, WaitsForAPollWorkItemThatCannotStartBeforeFreeingTheDevice) {
  Bench bench;
  Started s(bench);
  PluggedReader& r = s.r;
  auto tracking = r.TrackCard(IOCTL_SMARTCARD_IS_PRESENT);
  WORK_QUEUE_ITEM blockers[2];
  for (WORK_QUEUE_ITEM& blocker : blockers) {
    ExInitializeWorkItem(&blocker, OccupyWorker, nullptr);
    ExQueueWorkItem(&blocker, CriticalWorkQueue);
  }
  Bench::Wait(1 * Seconds);
  // The poll's work item waits for a worker.
  ASSERT_EQ(InterlockedCompareExchange(&r.Context().WorkItemsPending, 0, 0), 1);
  RemovalInFlight removal(r);
  Bench::Wait(75 * Seconds);
  EXPECT_FALSE(removal.Done()) << "past two waits of 30 s, the device is still the work item's";
  EXPECT_EQ(removal.Finish(), STATUS_SUCCESS);
  r.ExpectDeviceGone();
  EXPECT_EQ(tracking->Wait().status, STATUS_SUCCESS);
}

}  // namespace
