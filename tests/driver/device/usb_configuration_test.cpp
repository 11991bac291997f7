// Lengths and counts that come from the bus driver are checked where they
// enter: descriptor lengths, the interface record the selection fills in,
// and the lower drivers' answer to the start.
#include <gtest/gtest.h>

#include "platform/smclib/event_log.h"
#include "tests/driver/device/device_bench.h"
#include "tests/driver/device/lower_filter.h"

namespace {

using devicetest::Bench;
using devicetest::LowerFilter;
using devicetest::PluggedReader;

bool IsDescriptorRead(const URB& urb, UCHAR type) {
  return urb.UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE &&
         urb.UrbControlDescriptorRequest.DescriptorType == type;
}

bool IsSelection(const URB& urb) {
  return urb.UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION &&
         urb.UrbSelectConfiguration.ConfigurationDescriptor != nullptr;
}

// A device behind a filter that edits what the bus driver answers.
struct Filtered {
  explicit Filtered(Bench& bench) : r(bench), filter(r.Port().PhysicalDeviceObject()) {
    EXPECT_EQ(r.Add(), STATUS_SUCCESS);
    EXPECT_EQ(r.Context().AttachedDeviceObject, filter.Device());
  }
  // The device goes before the filter under it.
  ~Filtered() { r.Remove(); }
  PluggedReader r;
  LowerFilter filter;
};

void ExpectNotStarted(PluggedReader& r) {
  EXPECT_EQ(r.Context().DeviceStarted, 0);
  EXPECT_EQ(r.Context().InterfaceInformation, nullptr);
  EXPECT_TRUE(r.Port().BulkTrace().empty());
  bool logged = false;
  for (const smclib::EventLogEntry& entry : smclib::EventLog()) {
    logged = logged || (entry.object == r.Device() && entry.code == EventCodeStartFailed);
  }
  EXPECT_TRUE(logged);
}

TEST(BusAnswers, AConfigurationReadClaimingMoreThanItsBufferHeldIsRefused) {
  Bench bench;
  Filtered f(bench);
  f.filter.EditCompletedUrbs([](URB& urb) {
    if (IsDescriptorRead(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE))
      urb.UrbControlDescriptorRequest.TransferBufferLength = 600;
  });
  EXPECT_EQ(f.r.Start(), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(f.r.Context().ConfigurationDescriptor, nullptr);
  EXPECT_TRUE(f.r.ConfigurationRequests().empty());
  ExpectNotStarted(f.r);
}

TEST(BusAnswers, AShortDeviceDescriptorIsRefused) {
  Bench bench;
  Filtered f(bench);
  f.filter.EditCompletedUrbs([](URB& urb) {
    if (IsDescriptorRead(urb, USB_DEVICE_DESCRIPTOR_TYPE)) urb.UrbControlDescriptorRequest.TransferBufferLength = 10;
  });
  EXPECT_EQ(f.r.Start(), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(f.r.Context().DeviceDescriptor, nullptr);
  EXPECT_TRUE(f.r.DescriptorReads(USB_CONFIGURATION_DESCRIPTOR_TYPE).empty());
  ExpectNotStarted(f.r);
}

TEST(BusAnswers, AnInterfaceRecordThatGrewPipesIsNotCopied) {
  Bench bench;
  Filtered f(bench);
  f.filter.EditCompletedUrbs([](URB& urb) {
    if (IsSelection(urb)) urb.UrbSelectConfiguration.Interface.NumberOfPipes = 5;
  });
  EXPECT_EQ(f.r.Start(), STATUS_DEVICE_DATA_ERROR);
  ExpectNotStarted(f.r);
}

TEST(BusAnswers, AnInterfaceRecordOfAnotherLengthIsNotCopied) {
  Bench bench;
  Filtered f(bench);
  f.filter.EditCompletedUrbs([](URB& urb) {
    if (IsSelection(urb)) urb.UrbSelectConfiguration.Interface.Length = 0xFFFF;
  });
  EXPECT_EQ(f.r.Start(), STATUS_DEVICE_DATA_ERROR);
  ExpectNotStarted(f.r);

  // The device answers properly the next time: the kept descriptor is selected again.
  f.filter.EditCompletedUrbs(nullptr);
  EXPECT_EQ(f.r.Start(), STATUS_SUCCESS);
  EXPECT_EQ(f.r.DescriptorReads(USB_CONFIGURATION_DESCRIPTOR_TYPE), std::vector<ULONG>{521});
  EXPECT_EQ(f.r.ConfigurationRequests().size(), 2u);
}

TEST(BusAnswers, AStartTheLowerDriversFailIsNotCarriedOn) {
  Bench bench;
  Filtered f(bench);
  f.filter.FailStart(STATUS_DEVICE_POWER_FAILURE);
  EXPECT_EQ(f.r.Start(), STATUS_DEVICE_POWER_FAILURE);
  EXPECT_TRUE(f.r.Port().Trace().empty());
  EXPECT_EQ(f.r.Context().DeviceStarted, 0);
  EXPECT_EQ(f.r.InterfaceEnabled(), std::optional<bool>(false));
}

}  // namespace
