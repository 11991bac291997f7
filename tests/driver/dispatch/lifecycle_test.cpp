// What the driver's entry leaves to the platform. Whole sessions through
// the entry are the scenarios beside this file.
#include <gtest/gtest.h>

#include "tests/fixture/plugged_reader.h"

namespace {

using readertest::Bench;
using readertest::PluggedReader;

TEST(LifecycleTest, DispatchTableLeavesOtherRequestsToThePlatform) {
  Bench bench;
  PluggedReader d(bench);
  ASSERT_EQ(d.Add(), STATUS_SUCCESS);
  for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_INTERNAL_DEVICE_CONTROL}) {
    EXPECT_EQ(kernel::SendIrpAndWait(d.Device(), major, 0).Status, STATUS_INVALID_DEVICE_REQUEST);
  }
  // System control passes down before start and leaves the count as it was.
  EXPECT_EQ(kernel::SendIrpAndWait(d.Device(), IRP_MJ_SYSTEM_CONTROL, 0).Status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(d.Context().IoCount, 1);
  ASSERT_EQ(d.Start(), STATUS_SUCCESS);
  ASSERT_EQ(d.Pnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(kernel::SendIrpAndWait(d.Device(), IRP_MJ_SYSTEM_CONTROL, 0).Status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(d.Context().IoCount, 1);
}

}  // namespace
