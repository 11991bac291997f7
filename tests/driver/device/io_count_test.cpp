// The I/O count's two events: idle once only the device's own reference is
// left, drained once nothing is; neither is ever reset.
#include "driver/device/io_count.h"

#include <gtest/gtest.h>

#include "tests/fixture/plugged_reader.h"

namespace {

using readertest::Bench;
using readertest::PluggedReader;

TEST(IoCount, SignalsIdleWhenItFallsToOneAndStaysSignalled) {
  Bench bench;
  PluggedReader r(bench);
  ASSERT_EQ(r.Add(), STATUS_SUCCESS);
  PDEVICE_OBJECT device = r.Device();
  DeviceContext& context = r.Context();
  ASSERT_EQ(context.IoCount, 1);
  IoIncrement(device);
  IoIncrement(device);
  EXPECT_EQ(IoDecrement(device), 2);
  EXPECT_EQ(KeReadStateEvent(&context.IoIdleEvent), 0) << "3 to 2 signals nothing";
  EXPECT_EQ(IoDecrement(device), 1);
  EXPECT_NE(KeReadStateEvent(&context.IoIdleEvent), 0);
  EXPECT_EQ(KeReadStateEvent(&context.IoDrainedEvent), 0);

  // A request inside the driver does not clear it: query-remove does not wait for it.
  IoIncrement(device);
  EXPECT_NE(KeReadStateEvent(&context.IoIdleEvent), 0);
  ASSERT_EQ(r.Start(), STATUS_SUCCESS);
  EXPECT_EQ(r.Pnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(IoDecrement(device), 1);
  EXPECT_EQ(r.Remove(), STATUS_SUCCESS);
}

}  // namespace
