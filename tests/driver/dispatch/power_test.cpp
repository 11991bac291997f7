// System sleep and resume as the power manager delivers them: the device
// request first, the card check on the way to D3, and a fresh card state
// read by the first poll after the return to the working state.
#include <gtest/gtest.h>

#include <atomic>

#include "driver/dispatch/power.h"
#include "platform/kernel/power_manager.h"
#include "tests/fixture/plugged_reader.h"

namespace {

using readertest::Bench;
using readertest::PluggedReader;
using kernel::kMillisecond;
using kernel::kSecond;

class PowerTest : public ::testing::Test {
 protected:
  void Plug(bool card) {
    r = std::make_unique<PluggedReader>(bench, readertest::InstantReader());
    if (card) r->Reader().InsertCard(readertest::DualProtocolCard());
    ASSERT_EQ(r->Add(), STATUS_SUCCESS);
    ASSERT_EQ(r->Start(), STATUS_SUCCESS);
    NTSTATUS opened = STATUS_PENDING;
    file = r->Open(u"", &opened);
    ASSERT_EQ(opened, STATUS_SUCCESS);
    kernel::SleepFor(kSecond);  // the first poll has read the card state
  }
  NTSTATUS Sleep(SYSTEM_POWER_STATE state = PowerSystemSleeping3) {
    return kernel::SleepSystem(r->Port().PhysicalDeviceObject(), state);
  }
  NTSTATUS Resume() { return kernel::ResumeSystem(r->Port().PhysicalDeviceObject()); }
  // IRP_MN_REMOVE_DEVICE on a thread of its own, given a second of
  // simulated time; `removed` is set once it has come back.
  std::unique_ptr<kernel::SystemThread> BeginRemoval(std::atomic<bool>& removed) {
    auto removal = std::make_unique<kernel::SystemThread>("removal", [this, &removed] {
      r->Pnp(IRP_MN_REMOVE_DEVICE);
      removed = true;
    });
    kernel::SleepFor(kSecond);
    return removal;
  }

  void Close() {
    r->Close(file);
    file = nullptr;
  }
  void TearDown() override {
    if (file != nullptr) Close();
  }

  Bench bench;
  std::unique_ptr<PluggedReader> r;
  PFILE_OBJECT file = nullptr;
};

TEST_F(PowerTest, SleepWithACardInCompletesTheWaitingIsAbsentAtD3) {
  Plug(true);
  const std::uint8_t cold[] = {SCARD_COLD_RESET, 0, 0, 0}, t1[] = {SCARD_PROTOCOL_T1, 0, 0, 0};
  ASSERT_EQ(r->Control(IOCTL_SMARTCARD_POWER, cold, 64).status, STATUS_SUCCESS);
  ASSERT_EQ(r->Control(IOCTL_SMARTCARD_SET_PROTOCOL, t1, 4).status, STATUS_SUCCESS);
  ASSERT_EQ(r->State(), static_cast<ULONG>(SCARD_SPECIFIC));
  auto absent = r->Begin(IOCTL_SMARTCARD_IS_ABSENT);
  r->Port().ClearTrace();
  const ULONG started = kernel::PowerRecord(r->Device()).startNextPowerIrpCalls;

  ASSERT_EQ(Sleep(), STATUS_SUCCESS);
  EXPECT_EQ(kernel::PowerRecord(r->Device()).startNextPowerIrpCalls, started + 3)
      << "the query, the system request and the device request each let the next one in";
  EXPECT_EQ(r->Port().DevicePower(), PowerDeviceD3) << "no wait-wake pending: D3 whatever the mapping says";
  EXPECT_EQ(r->Context().SmartcardExtension.ReaderExtension->ReaderPowerState, ReaderPoweredDown);
  EXPECT_EQ(r->Context().SmartcardExtension.ReaderExtension->CardPresentAtPowerDown, 1);
  ASSERT_TRUE(absent->Done());
  EXPECT_EQ(absent->Wait().status, STATUS_SUCCESS);
  EXPECT_EQ(r->Context().SmartcardExtension.ReaderCapabilities.CurrentState, static_cast<ULONG>(SCARD_PRESENT))
      << "the card fell back from SCARD_SPECIFIC";
  const auto trace = r->Port().BulkTrace();
  ASSERT_FALSE(trace.empty());
  EXPECT_EQ(trace.front().data[4], 0x31) << "the one command at D3 is the status command";

  // Asleep: a waiting request keeps the poll going, but it leaves the reader alone.
  auto again = r->Begin(IOCTL_SMARTCARD_IS_ABSENT);
  r->Port().ClearTrace();
  kernel::SleepFor(3 * kSecond);
  EXPECT_TRUE(r->Port().BulkTrace().empty());
  EXPECT_FALSE(again->Done());

  r->Reader().RemoveCard();  // taken out while the system sleeps
  ASSERT_EQ(Resume(), STATUS_SUCCESS);
  EXPECT_EQ(again->Wait().status, STATUS_SUCCESS) << "the first poll after resume reports the removal";
  EXPECT_EQ(r->State(), static_cast<ULONG>(SCARD_ABSENT));
}

TEST_F(PowerTest, SleepWithoutACardLeavesIsPresentWaitingUntilACardComes) {
  Plug(false);
  auto present = r->Begin(IOCTL_SMARTCARD_IS_PRESENT);
  r->Port().ClearTrace();
  ASSERT_EQ(Sleep(), STATUS_SUCCESS);
  EXPECT_TRUE(r->Port().BulkTrace().empty()) << "no card: nothing asked at D3";
  EXPECT_FALSE(present->Done());
  r->Reader().InsertCard(readertest::DualProtocolCard());
  ASSERT_EQ(Resume(), STATUS_SUCCESS);
  EXPECT_EQ(present->Wait().status, STATUS_SUCCESS);
  EXPECT_EQ(r->State(), static_cast<ULONG>(SCARD_PRESENT));
}

// After a resume requests wait for the first poll, also when the bus failed
// the device's D0 request (completed with success all the same).
TEST_F(PowerTest, RequestsAfterResumeWaitForTheFirstPoll) {
  for (const bool d0Fails : {false, true}) {
    Plug(true);
    ASSERT_EQ(Sleep(PowerSystemHibernate), STATUS_SUCCESS);
    if (d0Fails) r->Port().FailNextDevicePower(PowerDeviceD0, STATUS_DEVICE_POWER_FAILURE);
    ASSERT_EQ(Resume(), STATUS_SUCCESS);
    EXPECT_EQ(r->Context().CurrentDeviceState, PowerDeviceD0);
    EXPECT_EQ(r->Context().PollRequested, 1);
    const LONGLONG before = kernel::Now();
    EXPECT_EQ(r->State(), static_cast<ULONG>(SCARD_PRESENT));
    EXPECT_GE(kernel::Now() - before, 400 * kMillisecond) << "held until the poll read the card state";
    EXPECT_EQ(r->Context().PollRequested, 0);
    Close();
    r.reset();
  }
}

TEST_F(PowerTest, SecondD3WithoutResumeChecksNothing) {
  Plug(true);
  ASSERT_EQ(Sleep(PowerSystemSleeping1), STATUS_SUCCESS);
  auto absent = r->Begin(IOCTL_SMARTCARD_IS_ABSENT);
  r->Port().ClearTrace();
  ASSERT_EQ(Sleep(PowerSystemHibernate), STATUS_SUCCESS);
  kernel::SleepFor(kSecond);
  EXPECT_TRUE(r->Port().BulkTrace().empty());
  EXPECT_FALSE(absent->Done());
  ASSERT_EQ(Resume(), STATUS_SUCCESS);
  Close();  // the cleanup of any handle cancels the waiting request, sent on none
  EXPECT_EQ(absent->Wait().status, STATUS_CANCELLED);
}

TEST_F(PowerTest, WaitWakeIsRefusedInD0) {
  Plug(false);
  const IO_STATUS_BLOCK result = kernel::SendIrpAndWait(
      r->Device(), IRP_MJ_POWER, IRP_MN_WAIT_WAKE,
      [](IO_STACK_LOCATION& l) { l.Parameters.WaitWake.PowerState = PowerSystemSleeping3; });
  EXPECT_EQ(result.Status, STATUS_INVALID_DEVICE_STATE);
  EXPECT_FALSE(r->Port().WaitWakePending());
}

TEST_F(PowerTest, ADeviceRequestThatNeverCompletesCostsTheFiveSecondBoundAndNoMore) {
  Plug(true);
  r->Port().HoldNextDevicePower(PowerDeviceD3);
  const LONGLONG before = kernel::Now();
  ASSERT_EQ(Sleep(), STATUS_SUCCESS);
  EXPECT_GE(kernel::Now() - before, 5 * kSecond);
  EXPECT_LT(kernel::Now() - before, 6 * kSecond);
  EXPECT_EQ(r->Context().SmartcardExtension.ReaderExtension->ReaderPowerState, ReaderPoweredDown)
      << "the D3 request went through the driver before the bus kept it";
  ASSERT_EQ(Resume(), STATUS_SUCCESS);
  EXPECT_EQ(r->State(), static_cast<ULONG>(SCARD_PRESENT));
  EXPECT_EQ(r->Port().CompleteHeldPower(), 1u) << "its completion, late, changes nothing";
  EXPECT_EQ(r->State(), static_cast<ULONG>(SCARD_PRESENT));
}

// A removal while a resume completes: the bus holds the device request (past
// the 5 s bound) or the system request, the removal begins, then the request
// completes on this thread. The completion routine must hold the device to
// its last touch; preempted right after giving the I/O count back, it still
// holds the remove lock.
TEST_F(PowerTest, ARemovalWaitsForAResumeThatCompletesLate) {
  for (const bool deviceRequest : {true, false}) {
    Plug(true);
    ASSERT_EQ(Sleep(), STATUS_SUCCESS);
    if (deviceRequest) {
      r->Port().HoldNextDevicePower(PowerDeviceD0);
    } else {
      r->Port().HoldNextSystemPower(PowerSystemWorking);
    }
    {
      NTSTATUS resumed = STATUS_PENDING;
      kernel::SystemThread resume("resume", [&] { resumed = Resume(); });
      kernel::SleepFor(6 * kSecond);
      Close();
      std::atomic<bool> removed{false};
      const auto removal = BeginRemoval(removed);
      EXPECT_FALSE(removed) << "the removal waits for the request still inside the driver";
      DeviceContext& context = r->Context();
      if (deviceRequest) {
        kernel::faults::PreemptAfterRelease(&context.IoCountLock, [&] {
          if (context.IoCount != 0) return false;
          kernel::SleepFor(kSecond);
          return true;
        });
      }
      EXPECT_EQ(r->Port().CompleteHeldPower(), 1u);
      removal->Join();
      resume.Join();
      EXPECT_EQ(resumed, STATUS_SUCCESS);
    }
    r->ExpectDeviceGone();
    r.reset();
  }
}

TEST_F(PowerTest, APowerRequestAfterTheRemovalBeganIsRefused) {
  Plug(false);
  std::atomic<bool> removed{false};
  const auto removal = BeginRemoval(removed);
  ASSERT_FALSE(removed) << "the removal waits for the open handle";
  const ULONG started = kernel::PowerRecord(r->Device()).startNextPowerIrpCalls;
  r->Port().ClearTrace();
  EXPECT_EQ(Sleep(), STATUS_DELETE_PENDING) << "the query is refused with the remove lock's status";
  EXPECT_EQ(kernel::PowerRecord(r->Device()).startNextPowerIrpCalls, started + 1);
  EXPECT_TRUE(r->Port().Trace().empty());
  EXPECT_EQ(r->Port().DevicePower(), PowerDeviceD0);
  Close();
  removal->Join();
  r->ExpectDeviceGone();
}

// The device state for a system state, from the bus driver's mapping, when a
// wait-wake request is pending (without one, sleep is always D3).
TEST(DeviceStateForSystemState, TakesTheMappingOnlyWhereItIsAValidDeviceState) {
  DEVICE_CAPABILITIES mapping{};
  mapping.DeviceState[PowerSystemUnspecified] = PowerDeviceD1;  // never consulted
  mapping.DeviceState[PowerSystemSleeping1] = PowerDeviceD0;
  mapping.DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
  mapping.DeviceState[PowerSystemSleeping3] = PowerDeviceUnspecified;
  mapping.DeviceState[PowerSystemHibernate] = PowerDeviceMaximum;
  const struct {
    UCHAR waitWake;
    SYSTEM_POWER_STATE system;
    DEVICE_POWER_STATE device;
  } rows[] = {
      {1, PowerSystemWorking, PowerDeviceD0},     {0, PowerSystemSleeping2, PowerDeviceD3},
      {1, PowerSystemSleeping1, PowerDeviceD0},   {1, PowerSystemSleeping2, PowerDeviceD2},
      {1, PowerSystemSleeping3, PowerDeviceD3},   {1, PowerSystemHibernate, PowerDeviceD3},
      {1, PowerSystemUnspecified, PowerDeviceD3}, {1, PowerSystemMaximum, PowerDeviceD3},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(DeviceStateForSystemState(mapping, row.waitWake, row.system), row.device)
        << "wait-wake " << int{row.waitWake} << ", system state " << row.system;
  }
}

TEST(SetDevicePowerState, RecordsOnlyTheStatesAReaderCanBeIn) {
  Bench bench;
  PluggedReader d(bench);
  ASSERT_EQ(d.Add(), STATUS_SUCCESS);
  for (DEVICE_POWER_STATE state : {PowerDeviceD2, PowerDeviceMaximum, PowerDeviceUnspecified}) {
    EXPECT_FALSE(SetDevicePowerState(d.Device(), state));
    EXPECT_EQ(d.Context().CurrentDeviceState, PowerDeviceD2) << "after " << state;
  }
  EXPECT_TRUE(SetDevicePowerState(d.Device(), PowerDeviceD0));
  EXPECT_EQ(d.Context().CurrentDeviceState, PowerDeviceD0);
}

}  // namespace
