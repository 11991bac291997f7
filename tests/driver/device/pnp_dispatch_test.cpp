// Stop and a start after it, and the query and cancel requests where they
// fail or find the device never started (plug_and_play.scenario has the rest).
#include <gtest/gtest.h>

#include "driver/reader/vendor_ioctl.h"
#include "tests/fixture/plugged_reader.h"

namespace {

using readertest::Bench;
using readertest::Ms;
using readertest::PluggedReader;
using readertest::ReaderPoweringCards;
using readertest::DualProtocolCard;
using Kind = usb::TraceEntry::Kind;

// A reader command from the top: refused while the device is not usable.
NTSTATUS Eject(PluggedReader& r) { return r.Control(IOCTL_VENDOR_EJECT, {}, VendorStatusBytesLength).status; }

struct Started {
  explicit Started(Bench& bench, emu::ReaderConfig config = readertest::ReaderWithFirmware("2.27"))
      : r(bench, std::move(config)) {
    EXPECT_EQ(r.Add(), STATUS_SUCCESS);
    EXPECT_EQ(r.Start(), STATUS_SUCCESS);
    // The first poll reads the card state; then the reader is left alone.
    Bench::Wait(600 * Ms);
    r.ClearTrace();
  }
  PluggedReader r;
};

TEST(Stop, UnconfiguresTheDeviceAndAStartBringsItBack) {
  Bench bench;
  Started s(bench, ReaderPoweringCards());
  PluggedReader& r = s.r;
  ASSERT_EQ(r.Pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  ASSERT_EQ(r.Pnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  const DeviceContext& context = r.Context();
  EXPECT_EQ(context.StopPending, 0);
  EXPECT_EQ(context.DeviceStarted, 0);
  EXPECT_EQ(context.PollStopping, 1);
  EXPECT_EQ(r.ConfigurationRequests(), std::vector<Kind>{Kind::Unconfigure});
  EXPECT_EQ(r.Reader().Configuration(), 0);
  EXPECT_NE(context.DeviceDescriptor, nullptr);
  EXPECT_NE(context.ConfigurationDescriptor, nullptr);
  EXPECT_NE(context.InterfaceInformation, nullptr);
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
  EXPECT_EQ(context.DeviceStarted, 1);
  EXPECT_EQ(context.PollStopping, 0);
  EXPECT_EQ(context.SmartcardExtension.ReaderCapabilities.CurrentState, SCARD_PRESENT);
  EXPECT_EQ(context.SmartcardExtension.CardCapabilities.ATR.Length, DualProtocolCard()->Atr().size());
  EXPECT_EQ(Eject(r), STATUS_SUCCESS);
}

TEST(Stop, ThatCannotUnconfigureLeavesTheDeviceStarted) {
  Bench bench;
  Started s(bench);
  PluggedReader& r = s.r;
  ASSERT_EQ(r.Pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  kernel::pool::FailAllocation(2);  // the unconfigure request's URB, after the stop request itself
  EXPECT_EQ(r.Pnp(IRP_MN_STOP_DEVICE), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(r.Context().DeviceStarted, 1);
  EXPECT_EQ(r.Context().StopPending, 0);
  EXPECT_TRUE(r.ConfigurationRequests().empty());
}

TEST(QueryRemove, ThatCannotDisableTheInterfaceFailsAndStaysPending) {
  Bench bench;
  Started s(bench);
  PluggedReader& r = s.r;
  kernel::faults::FailNext("IoSetDeviceInterfaceState", STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(r.Pnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(r.Context().RemovePending, 1);
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
}

}  // namespace
