// The driver on a reader it reaches through real libusb, as on a physical
// bus: the emulated reader behind a umockdev testbed, hot-plugged into the
// host. Simulated time; skipped unless run under umockdev-wrapper.
#include <gtest/gtest.h>

#include "driver/public/driver.h"
#include "host/control_requests.h"
#include "host/emulated_cards.h"
#include "host/host.h"
#include "host/pnp_manager.h"
#include "host/resource_manager.h"
#include "host/usb_hotplug.h"
#include "tests/platform/usb/umockdev/umockdev_reader.h"

namespace {

// Arrival, start, a command through libusb, a reader that falls silent, then
// one that leaves during a command. (Card commands through libusb are pcscd's
// hot-plug run in tests/ifd/pcscd.)
TEST(LibusbPortTest, OpenExchangeAndUnplugDuringACommand) {
  emu::ReaderConfig config = host::ReaderConfigFor("2.27");
  config.timing = emu::TimingModel::Instant();
  auto reader = std::make_shared<emu::Reader>(config);
  usbtest::UmockdevReader bed(reader);
  if (!usbtest::UmockdevReader::Available()) GTEST_SKIP() << "not under umockdev-wrapper (no LD_PRELOAD)";
  {
    host::Host host(kernel::ClockMode::Simulated);
    host::ResourceManager resources(host);
    host::UsbHotplug hotplug;
    const auto device = hotplug.WaitFor({config.vendorId, config.productId, 1, 2}, std::chrono::seconds(5));
    ASSERT_TRUE(device.has_value());
    std::string error;
    host::PluggedReader plugged(hotplug.Open(*device, &error));
    host::PnpManager pnp(host, plugged, resources);
    hotplug.OnDeparture(*device, [&pnp] { pnp.SurpriseRemove(); });
    ASSERT_EQ(pnp.Add(), STATUS_SUCCESS);
    ASSERT_EQ(pnp.Start(), STATUS_SUCCESS);
    ASSERT_EQ(resources.Open(plugged, ""), STATUS_SUCCESS);
    const host::ControlRequest version = host::VendorRequest(host::VendorAction::Version);
    EXPECT_EQ(resources.Send(version).output, (std::vector<std::uint8_t>{0x50, 1, 0, 0, 2, 0x1B, 2, 0x27}));
    // A reader that stops answering: the read is cancelled (DISCARDURB) at the 7 s bound, in simulated time.
    reader->GoSilentFromFrame(reader->Counters().framesReceived + 1);
    const LONGLONG start = kernel::Now();
    EXPECT_EQ(resources.Send(version).status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(kernel::Now() - start, 7 * kernel::kSecond) << "the clock moved only while the reader was silent";
    EXPECT_EQ(bed.Urbs(/*parkedOnly=*/true), 0u) << "the IN transfer the reader held was discarded";
    reader->GoSilentFromFrame(0);

    // The reader holds its answer: the command waits on the bus when the reader leaves.
    reader->ScriptFault(emu::ReplyFault::Withhold());
    kernel::IoResult failed;
    kernel::SystemThread sending("version", [&] { failed = resources.Send(version); });
    while (bed.Urbs(/*parkedOnly=*/true) == 0) kernel::SleepFor(kernel::kMillisecond);
    bed.Unplug();
    ASSERT_TRUE(hotplug.AwaitDeparture(*device, std::chrono::seconds(10))) << "the departure reached the host";
    sending.Join();
    EXPECT_FALSE(NT_SUCCESS(failed.status)) << std::hex << failed.status;
    EXPECT_EQ(pnp.State(), host::DeviceState::SurpriseRemoved) << "the removal waits for the open handle";
    resources.CloseAll();
    EXPECT_EQ(pnp.State(), host::DeviceState::Removed);
    EXPECT_EQ(kernel::pool::LiveBlocks(DriverPoolTag), 0u) << "the driver's pool blocks are all freed";
    EXPECT_EQ(kernel::irps::Live(), 0u) << "every request was completed and freed";
  }
  EXPECT_EQ(bed.Urbs(), 0u) << "libusb reaped every URB";
}

}  // namespace
