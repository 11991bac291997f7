// Stop and the start after it, the query and cancel requests where they
// fail or find the device never started (plug_and_play.script has the
// rest), handles on the reader and its pipes, surprise removal and removal:
// the poll stopped without cutting an exchange off, pipes aborted, handles,
// tracking requests and requests inside the driver waited for or answered,
// and nothing left behind.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "driver/device/io_count.h"
#include "driver/reader/reader_lock.h"
#include "driver/reader/vendor_ioctl.h"
#include "platform/smclib/library.h"
#include "tests/fixture/plugged_reader.h"

namespace {

using readertest::Bench;
using readertest::DualProtocolCard;
using readertest::Ms;
using readertest::PluggedReader;
using readertest::ReaderPoweringCards;
using Kind = usb::TraceEntry::Kind;

constexpr LONGLONG Seconds = kernel::kSecond;

// A reader added and started, past the first poll, with the trace cleared.
// It powers a card as it goes in.
class StartedReader : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(r.Add(), STATUS_SUCCESS);
    ASSERT_EQ(r.Start(), STATUS_SUCCESS);
    Bench::Wait(600 * Ms);
    r.ClearTrace();
  }
  Bench bench;
  PluggedReader r{bench, ReaderPoweringCards()};
};
using Stop = StartedReader;
using Open = StartedReader;
using SurpriseRemoval = StartedReader;
using Removal = StartedReader;

// A reader command from the top: refused while the device is not usable.
NTSTATUS Eject(PluggedReader& r) { return r.Control(IOCTL_VENDOR_EJECT, {}, VendorStatusBytesLength).status; }

// The stop leaves the descriptors, the interface and the mark of a pipe
// still open for the next start.
TEST_F(Stop, UnconfiguresTheDeviceAndAStartBringsItBackWithItsOpenPipe) {
  NTSTATUS status = STATUS_PENDING;
  PFILE_OBJECT file = r.Open(u"\\1", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  ASSERT_EQ(r.Pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  ASSERT_EQ(r.Pnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  const DeviceContext& context = r.Context();
  EXPECT_EQ(context.StopPending, 0);
  EXPECT_EQ(context.DeviceStarted, 0);
  EXPECT_EQ(context.PollStopping, 1);
  EXPECT_EQ(r.ConfigurationRequests(), std::vector<Kind>{Kind::Unconfigure});
  EXPECT_EQ(r.Reader().Configuration(), 0);
  EXPECT_EQ(r.InterfaceEnabled(), std::optional<bool>(true));
  EXPECT_EQ(Eject(r), STATUS_DELETE_PENDING);

  // A card arrives while the device is stopped; the start finds it.
  r.Reader().InsertCard(DualProtocolCard());
  r.ClearTrace();
  ASSERT_EQ(r.Start(), STATUS_SUCCESS);
  EXPECT_TRUE(r.DescriptorReads(USB_DEVICE_DESCRIPTOR_TYPE).empty());
  EXPECT_TRUE(r.DescriptorReads(USB_CONFIGURATION_DESCRIPTOR_TYPE).empty());
  EXPECT_EQ(r.ConfigurationRequests(), std::vector<Kind>{Kind::SelectConfiguration});
  EXPECT_EQ(r.Reader().Configuration(), 1);
  EXPECT_EQ(r.Commands(), (std::vector<std::uint8_t>{0xC0, 0x31, 0x35}));
  EXPECT_EQ(context.PollStopping, 0);
  EXPECT_EQ(context.SmartcardExtension.CardCapabilities.ATR.Length, DualProtocolCard()->Atr().size());
  EXPECT_EQ(Eject(r), STATUS_SUCCESS);
  EXPECT_EQ(context.PipeOpenFlags[1], 1);
  // The handle's FsContext names the pipe's entry in the new selection's
  // copy (the verifier refuses a free of the block it points into).
  EXPECT_EQ(file->FsContext, &context.InterfaceInformation->Pipes[1]);

  // A surprise removal aborts the pipe by the handle of the new selection.
  const std::uint8_t endpoint = context.InterfaceInformation->Pipes[1].EndpointAddress;
  Bench::Wait(600 * Ms);  // past the first poll after the start
  r.ClearTrace();
  ASSERT_EQ(r.Pnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
  const std::vector<usb::TraceEntry> trace = r.Port().Trace();
  ASSERT_EQ(trace.size(), 1u);
  EXPECT_EQ(trace[0].kind, Kind::AbortPipe);
  EXPECT_EQ(trace[0].status, STATUS_SUCCESS);
  EXPECT_EQ(r.AbortedEndpoints(), std::vector<std::uint8_t>{endpoint});
  EXPECT_EQ(context.PipeOpenFlags[1], 0);
  EXPECT_EQ(r.Close(file), STATUS_SUCCESS);
  r.ClearTrace();
  EXPECT_EQ(r.Remove(), STATUS_SUCCESS);
  EXPECT_TRUE(r.AbortedEndpoints().empty()) << "nothing is open any more";
}

TEST_F(Stop, ThatCannotUnconfigureLeavesTheDeviceStarted) {
  ASSERT_EQ(r.Pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  kernel::pool::FailAllocation(2);  // the unconfigure request's URB, after the stop request itself
  EXPECT_EQ(r.Pnp(IRP_MN_STOP_DEVICE), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(r.Context().DeviceStarted, 1);
  EXPECT_EQ(r.Context().StopPending, 0);
  EXPECT_TRUE(r.ConfigurationRequests().empty());
}

TEST(QueryAndCancel, OnADeviceNeverStartedPassDownAndTouchNothing) {
  Bench bench;
  PluggedReader r(bench);
  ASSERT_EQ(r.Add(), STATUS_SUCCESS);
  for (UCHAR minor :
       {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}) {
    EXPECT_EQ(r.Pnp(minor), STATUS_SUCCESS) << "minor function " << int{minor};
  }
  EXPECT_EQ(r.Context().RemovePending, 0);
  EXPECT_EQ(r.Context().StopPending, 0);
  EXPECT_EQ(r.InterfaceEnabled(), std::optional<bool>(false));
  // What the driver does not handle goes down with the status the bus driver gives it.
  EXPECT_EQ(r.Pnp(IRP_MN_QUERY_PNP_DEVICE_STATE), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(r.Context().IoCount, 1);
  // Nobody opens the reader until the start, nor from the query-remove on.
  NTSTATUS status = STATUS_PENDING;
  EXPECT_EQ(r.Open(u"", &status), nullptr);
  EXPECT_EQ(status, STATUS_DELETE_PENDING);
  ASSERT_EQ(r.Start(), STATUS_SUCCESS);
  ASSERT_EQ(r.Pnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(r.Open(u"\\1", &status), nullptr);
  EXPECT_EQ(status, STATUS_DELETE_PENDING);
  EXPECT_EQ(r.Context().PipeOpenFlags[1], 0);
}

constexpr ULONG NoPipeOpened = 0xFF;

LONG RemoveLockHolders(PluggedReader& r) { return LibraryData(&r.Extension())->RemoveLock.Count; }

// The name after the reader's own: a pipe by the decimal number it ends in.
TEST_F(Open, OpensTheReaderOrThePipeTheNameEndsIn) {
  const struct {
    const char16_t* name;
    NTSTATUS status;
    ULONG pipe;
  } rows[] = {
      {u"", STATUS_SUCCESS, NoPipeOpened},
      {u"\\PIPE01", STATUS_SUCCESS, 1},
      {u"\\0", STATUS_SUCCESS, 0},
      {u"\\1x", STATUS_SUCCESS, 1},
      {u"\\7.1 pipe", STATUS_SUCCESS, 1},
      {u"\\000000000000000000001", STATUS_SUCCESS, 1},
      {u"\\3x", STATUS_INSUFFICIENT_RESOURCES, NoPipeOpened},     // a pipe this interface lacks
      {u"\\2", STATUS_INSUFFICIENT_RESOURCES, NoPipeOpened},      // the first one it lacks
      {u"\\12", STATUS_INVALID_PARAMETER, NoPipeOpened},          // a digit above the units
      {u"\\6", STATUS_INVALID_PARAMETER, NoPipeOpened},           // past the pipe numbers a name may give
      {u"\\4294967297", STATUS_INVALID_PARAMETER, NoPipeOpened},  // 2^32 + 1
      {u"\\pipe", STATUS_INVALID_PARAMETER, NoPipeOpened},
  };
  const DeviceContext& context = r.Context();
  for (const auto& row : rows) {
    const std::u16string name(row.name);
    SCOPED_TRACE(std::string(name.begin(), name.end()));
    NTSTATUS status = STATUS_PENDING;
    PFILE_OBJECT file = r.Open(row.name, &status);
    EXPECT_EQ(status, row.status);
    for (ULONG pipe = 0; pipe < 2; ++pipe) {
      EXPECT_EQ(context.PipeOpenFlags[pipe], pipe == row.pipe ? 1 : 0) << "pipe " << pipe;
    }
    if (!NT_SUCCESS(status)) {
      EXPECT_EQ(RemoveLockHolders(r), 1);
      continue;
    }
    EXPECT_EQ(RemoveLockHolders(r), 2) << "the handle holds the remove lock";
    EXPECT_EQ(file->FsContext, row.pipe == NoPipeOpened ? nullptr : &context.InterfaceInformation->Pipes[row.pipe]);
    EXPECT_EQ(r.Close(file), STATUS_SUCCESS);
    EXPECT_EQ(context.PipeOpenFlags[0], 0);
    EXPECT_EQ(context.PipeOpenFlags[1], 0);
    EXPECT_EQ(RemoveLockHolders(r), 1);
    EXPECT_EQ(context.IoCount, 1);
  }
}

// A removal sent from a thread of its own, for removals that wait.
struct RemovalInFlight {
  explicit RemovalInFlight(PluggedReader& r)
      : thread("removal", [this, &r] {
          status = r.Pnp(IRP_MN_REMOVE_DEVICE);
          done = true;
        }) {}
  bool Done() const { return done; }
  NTSTATUS Finish() {
    thread.Join();
    return status;
  }
  std::atomic<bool> done{false};
  NTSTATUS status = STATUS_PENDING;
  kernel::SystemThread thread;
};

TEST(RemovalRace, MayComeAsSoonAsTheStartIsComplete) {
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

TEST_F(SurpriseRemoval, DuringAPollLetsTheExchangeFinishAndStartsNoOther) {
  // A waiting tracking request keeps the poll going; its next status reply is slow.
  auto tracking = r.Begin(IOCTL_SMARTCARD_IS_PRESENT);
  r.Reader().ScriptFault(emu::ReplyFault::Delay(200 * Ms));
  Bench::Wait(600 * Ms);
  ASSERT_EQ(r.Commands(), std::vector<std::uint8_t>{0x31}) << "the poll's status command is on its way";
  ASSERT_EQ(r.Reader().QueuedReplies(), 1u);

  EXPECT_EQ(r.Pnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
  EXPECT_EQ(r.Context().DeviceRemoved, 1);
  EXPECT_EQ(InterlockedCompareExchange(&r.Context().WorkItemsPending, 0, 0), 0);
  EXPECT_EQ(r.Reader().QueuedReplies(), 0u) << "the reply was read before the device was marked removed";
  EXPECT_EQ(r.Port().BulkTrace().back().status, STATUS_SUCCESS);

  Bench::Wait(3 * Seconds);
  EXPECT_EQ(r.Commands(), std::vector<std::uint8_t>{0x31}) << "no command after the removal";
  EXPECT_FALSE(tracking->Done());
  // The removal answers the waiting tracking request with success.
  EXPECT_EQ(r.Remove(), STATUS_SUCCESS);
  ASSERT_TRUE(tracking->Done());
  const kernel::IoResult result = tracking->Wait();
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 0u);
}

TEST_F(Removal, AbortsThePipeOfAnOpenHandleAndWaitsForItToClose) {
  NTSTATUS opened = STATUS_PENDING;
  PFILE_OBJECT file = r.Open(u"\\0", &opened);
  ASSERT_EQ(opened, STATUS_SUCCESS);
  const std::uint8_t endpoint = r.Context().InterfaceInformation->Pipes[0].EndpointAddress;

  RemovalInFlight removal(r);
  Bench::Wait(2 * Seconds);
  EXPECT_FALSE(removal.Done());
  EXPECT_EQ(r.Context().DeviceRemoved, 1);
  EXPECT_EQ(r.AbortedEndpoints(), std::vector<std::uint8_t>{endpoint});
  EXPECT_NE(IoGetAttachedDevice(r.Port().PhysicalDeviceObject()), r.Port().PhysicalDeviceObject())
      << "the device waits for its handle";
  r.CloseDuringRemoval(file);
  EXPECT_EQ(removal.Finish(), STATUS_SUCCESS);
  r.ExpectDeviceGone();
}

TEST_F(Removal, WaitsForTheLastRequestInsideTheDriver) {
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
  EXPECT_EQ(r.InterfaceEnabled(), std::optional<bool>(false));
  EXPECT_TRUE(r.Frames().empty()) << "a removal has nothing to say to the reader";
}

TEST_F(Removal, WhosePollWorkItemOutlastsTheWaitStillEndsAndFreesNothingUnderIt) {
  DeviceContext* context = &r.Context();
  // The tracking request arms the poll; then a long card exchange holds the
  // reader, and the poll's work item waits behind it.
  auto tracking = r.Begin(IOCTL_SMARTCARD_IS_PRESENT);
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

TEST_F(Removal, WaitsForAPollWorkItemThatCannotStartBeforeFreeingTheDevice) {
  auto tracking = r.Begin(IOCTL_SMARTCARD_IS_PRESENT);
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
