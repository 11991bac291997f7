// Lengths and counts that come from the bus driver are checked where they
// enter: descriptor lengths, the interface record the selection fills in,
// and the lower drivers' answer to the start.
#include <gtest/gtest.h>

#include "platform/smclib/event_log.h"
#include "tests/fixture/plugged_reader.h"
#include "tests/driver/device/lower_filter.h"

namespace {

using readertest::Bench;
using readertest::LowerFilter;
using readertest::PluggedReader;

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

// Each wrong answer fails the start with STATUS_DEVICE_DATA_ERROR, logged,
// with nothing kept from it and nothing sent to the reader.
TEST(BusAnswers, ThatDoNotAddUpFailTheStartAndKeepNothing) {
  const struct {
    const char* what;
    LowerFilter::UrbEdit edit;
    std::size_t configurationReads;  // in the failed start, then in the next one
    std::size_t readsAgain;
  } rows[] = {
      {"a device descriptor of 10 bytes",
       [](URB& urb) {
         if (IsDescriptorRead(urb, USB_DEVICE_DESCRIPTOR_TYPE)) urb.UrbControlDescriptorRequest.TransferBufferLength = 10;
       },
       0, 1},
      {"a configuration read claiming 600 bytes of a 521-byte buffer",
       [](URB& urb) {
         if (IsDescriptorRead(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE))
           urb.UrbControlDescriptorRequest.TransferBufferLength = 600;
       },
       1, 1},
      {"an interface record that grew to 5 pipes",
       [](URB& urb) {
         if (IsSelection(urb)) urb.UrbSelectConfiguration.Interface.NumberOfPipes = 5;
       },
       1, 0},
      {"an interface record of another length",
       [](URB& urb) {
         if (IsSelection(urb)) urb.UrbSelectConfiguration.Interface.Length = 0xFFFF;
       },
       1, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Bench bench;
    Filtered f(bench);
    f.filter.EditCompletedUrbs(row.edit);
    EXPECT_EQ(f.r.Start(), STATUS_DEVICE_DATA_ERROR);
    const DeviceContext& context = f.r.Context();
    EXPECT_EQ(context.DeviceStarted, 0);
    EXPECT_EQ(context.InterfaceInformation, nullptr);
    EXPECT_EQ(f.r.DescriptorReads(USB_CONFIGURATION_DESCRIPTOR_TYPE).size(), row.configurationReads);
    EXPECT_TRUE(f.r.Port().BulkTrace().empty());
    bool logged = false;
    for (const smclib::EventLogEntry& entry : smclib::EventLog()) {
      logged = logged || (entry.object == f.r.Device() && entry.code == EventCodeStartFailed);
    }
    EXPECT_TRUE(logged);

    // The device answers properly the next time: the kept descriptors serve.
    f.filter.EditCompletedUrbs(nullptr);
    f.r.ClearTrace();
    EXPECT_EQ(f.r.Start(), STATUS_SUCCESS);
    EXPECT_EQ(f.r.DescriptorReads(USB_CONFIGURATION_DESCRIPTOR_TYPE).size(), row.readsAgain);
  }
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

TEST(BusAnswers, AStartTheBusCompletesLaterIsWaitedFor) {
  Bench bench;
  Filtered f(bench);
  f.filter.PendStart();
  EXPECT_EQ(f.r.Start(), STATUS_SUCCESS);
  EXPECT_EQ(f.r.Context().DeviceStarted, 1);
  EXPECT_EQ(f.r.InterfaceEnabled(), std::optional<bool>(true));
}

}  // namespace
