// The device-control gate: which requests pass, when they wait for the
// presence poll, and when they are refused.
#include <gtest/gtest.h>

#include "tests/fixture/plugged_reader.h"

namespace {

using readertest::Bench;
using readertest::PluggedReader;
using kernel::kMillisecond;
using kernel::kSecond;

// Function 8 of the smart-card device type, and a code of another device type.
constexpr ULONG kUnservedSmartCardCode = 0x310020;
constexpr ULONG kOtherDeviceTypeCode = 0x220000;

TEST(DeviceControlGateTest, CodesTheDriverDoesNotServeSucceedAtOnceWhateverTheState) {
  Bench bench;
  PluggedReader d(bench, readertest::InstantReader());
  ASSERT_EQ(d.Add(), STATUS_SUCCESS);
  ASSERT_EQ(d.Context().PollRequested, 1) << "set at creation";
  const LONGLONG before = kernel::Now();
  for (ULONG code : {kUnservedSmartCardCode, kOtherDeviceTypeCode}) {
    const kernel::IoResult result = d.Control(code, readertest::Bytes{1, 2, 3}, 8);
    EXPECT_EQ(result.status, STATUS_SUCCESS) << std::hex << code;
  }
  EXPECT_EQ(kernel::Now(), before) << "no wait for the poll";
  EXPECT_EQ(d.Context().IoCount, 1);

  ASSERT_EQ(d.Start(), STATUS_SUCCESS);
  EXPECT_EQ(d.Pnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
  EXPECT_EQ(d.Control(kUnservedSmartCardCode).status, STATUS_SUCCESS) << "even on a removed device";
  const kernel::IoResult refused = d.Control(IOCTL_SMARTCARD_GET_STATE, {}, 4);
  EXPECT_EQ(refused.status, STATUS_DELETE_PENDING);
  EXPECT_EQ(refused.information, 0u);
}

TEST(DeviceControlGateTest, RequestsWaitUntilTheFirstPollHasReadTheCardState) {
  Bench bench;
  PluggedReader d(bench, readertest::InstantReader());
  ASSERT_EQ(d.Add(), STATUS_SUCCESS);
  d.Reader().InsertCard(readertest::DualProtocolCard());
  ASSERT_EQ(d.Start(), STATUS_SUCCESS);
  const LONGLONG before = kernel::Now();
  const kernel::IoResult result = d.Control(IOCTL_SMARTCARD_GET_STATE, {}, 4);
  const LONGLONG waited = kernel::Now() - before;
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.output, (readertest::Bytes{SCARD_PRESENT, 0, 0, 0})) << "the poll saw the card";
  // The poll armed at creation fires 500 ms later; the gate looks every 100 ms.
  EXPECT_GE(waited, 500 * kMillisecond);
  EXPECT_LE(waited, 600 * kMillisecond);
  EXPECT_EQ(d.Context().PollRequested, 0);
}

TEST(DeviceControlGateTest, PollThatKeepsFailingAnswersBusyAfterAboutTenSeconds) {
  Bench bench;
  PluggedReader d(bench, readertest::InstantReader());
  ASSERT_EQ(d.Add(), STATUS_SUCCESS);
  ASSERT_EQ(d.Start(), STATUS_SUCCESS);
  d.Port().Unplug();  // every status command of the poll fails from now on
  const LONGLONG before = kernel::Now();
  const kernel::IoResult result = d.Control(IOCTL_SMARTCARD_GET_STATE, {}, 4);
  EXPECT_EQ(result.status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(result.information, 0u);
  EXPECT_GE(kernel::Now() - before, 10 * kSecond);
  EXPECT_LT(kernel::Now() - before, 11 * kSecond);
  EXPECT_EQ(d.Context().PollRequested, 1);
  EXPECT_EQ(d.Pnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
}

TEST(DeviceControlGateTest, WaitingTrackingRequestGivesBackTheCountAndStaysWithTheLibrary) {
  Bench bench;
  PluggedReader d(bench, readertest::InstantReader());
  ASSERT_EQ(d.Add(), STATUS_SUCCESS);
  d.Reader().InsertCard(readertest::DualProtocolCard());
  ASSERT_EQ(d.Start(), STATUS_SUCCESS);
  kernel::SleepFor(kSecond);
  auto absent = d.TrackCard(IOCTL_SMARTCARD_IS_ABSENT);
  kernel::SleepFor(2 * kSecond);
  EXPECT_FALSE(absent->Done());
  EXPECT_EQ(d.Context().IoCount, 1) << "only the device's own reference";
  EXPECT_NE(d.Context().SmartcardExtension.OsData->NotificationIrp, nullptr);
  d.Reader().RemoveCard();
  const kernel::IoResult result = absent->Wait();
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(d.State(), static_cast<ULONG>(SCARD_ABSENT));
}

}  // namespace
