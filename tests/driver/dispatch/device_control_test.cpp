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

// One row per way through the gate: the reader (started or not, with a card,
// unplugged after the start), the request, and what came back after how long.
TEST(DeviceControlGateTest, PassesWaitsOrRefusesByCodeAndPoll) {
  enum class Reader { Added, Started, StartedWithCard, Unplugged, SurpriseRemoved };
  struct Row {
    const char* what;
    Reader reader;
    ULONG code;
    NTSTATUS status;
    LONGLONG minWait, maxWait;  // simulated time the request took
    UCHAR pollRequested;
  };
  // clang-format off
  const Row rows[] = {
      // Codes the driver does not serve succeed at once, before the first poll and on a removed device.
      {"unserved smart-card code before start", Reader::Added, kUnservedSmartCardCode, STATUS_SUCCESS, 0, 0, 1},
      {"code of another device type", Reader::Added, kOtherDeviceTypeCode, STATUS_SUCCESS, 0, 0, 1},
      {"unserved code, removed device", Reader::SurpriseRemoved, kUnservedSmartCardCode, STATUS_SUCCESS, 0, 0, 0},
      {"served code, removed device", Reader::SurpriseRemoved, IOCTL_SMARTCARD_GET_STATE, STATUS_DELETE_PENDING, 0, 0, 0},
      // The poll armed at creation fires 500 ms later; the gate looks every 100 ms.
      {"first poll", Reader::StartedWithCard, IOCTL_SMARTCARD_GET_STATE, STATUS_SUCCESS, 500, 600, 0},
      // Every status command of the poll fails: busy after about ten seconds.
      {"poll that keeps failing", Reader::Unplugged, IOCTL_SMARTCARD_GET_STATE, STATUS_DEVICE_BUSY, 10'000, 11'000, 1},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Bench bench;
    PluggedReader d(bench, readertest::InstantReader());
    ASSERT_EQ(d.Add(), STATUS_SUCCESS);
    if (row.reader == Reader::StartedWithCard) d.Reader().InsertCard(readertest::DualProtocolCard());
    const NTSTATUS started = row.reader == Reader::Added ? STATUS_SUCCESS : d.Start();
    ASSERT_EQ(started, STATUS_SUCCESS);
    if (row.reader == Reader::Unplugged) d.Port().Unplug();
    if (row.reader == Reader::SurpriseRemoved) d.Pnp(IRP_MN_SURPRISE_REMOVAL);
    const LONGLONG before = kernel::Now();
    const kernel::IoResult result = d.Control(row.code, readertest::Bytes{1, 2, 3}, 4);
    const LONGLONG waited = kernel::Now() - before;
    EXPECT_EQ(result.status, row.status);
    EXPECT_EQ(result.output, NT_SUCCESS(row.status) && row.code == IOCTL_SMARTCARD_GET_STATE
                                 ? (readertest::Bytes{SCARD_PRESENT, 0, 0, 0})
                                 : readertest::Bytes{});
    EXPECT_GE(waited, row.minWait * kMillisecond);
    EXPECT_LE(waited, row.maxWait * kMillisecond);
    EXPECT_EQ(d.Context().PollRequested, row.pollRequested);
    EXPECT_EQ(d.Context().IoCount, 1) << "nothing kept";
    if (row.reader == Reader::Unplugged) d.Pnp(IRP_MN_SURPRISE_REMOVAL);
  }
}

TEST(DeviceControlGateTest, WaitingTrackingRequestGivesBackTheCountAndStaysWithTheLibrary) {
  Bench bench;
  PluggedReader d(bench, readertest::InstantReader());
  ASSERT_EQ(d.Add(), STATUS_SUCCESS);
  d.Reader().InsertCard(readertest::DualProtocolCard());
  ASSERT_EQ(d.Start(), STATUS_SUCCESS);
  kernel::SleepFor(kSecond);
  auto absent = d.Begin(IOCTL_SMARTCARD_IS_ABSENT);
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
