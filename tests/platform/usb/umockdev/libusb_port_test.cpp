// The driver on a reader it reaches through real libusb, as on a physical
// bus: the reader is the emulated one behind a umockdev testbed, hot-plugged
// into the host (arrival, start; departure, surprise removal, removal).
// Simulated time; skipped unless run under umockdev-wrapper.
#include <gtest/gtest.h>

#include "driver/public/driver.h"
#include "host/control_requests.h"
#include "host/emulated_cards.h"
#include "host/host.h"
#include "host/pnp_manager.h"
#include "host/resource_manager.h"
#include "host/usb_hotplug.h"
#include "platform/smclib/winsmcrd.h"
#include "tests/platform/usb/umockdev/umockdev_reader.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

const Bytes kChallenge = {0x00, 0x84, 0x00, 0x00, 0x08};

// 80 22 (echo) with n data bytes as an extended case 4 APDU (Le 0000: all of them back).
Bytes Echo(std::size_t n) {
  Bytes apdu = {0x80, 0x22, 0x00, 0x00, 0x00, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
  for (std::size_t i = 0; i < n; ++i) apdu.push_back(static_cast<std::uint8_t>(i * 7));
  apdu.insert(apdu.end(), {0x00, 0x00});
  return apdu;
}

class LibusbPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    emu::ReaderConfig config = host::ReaderConfigFor("2.27");
    config.timing = emu::TimingModel::Instant();
    auto reader = std::make_shared<emu::Reader>(config);
    reader->InsertCard(host::MakeCard(host::CardKind::Dual));
    bed = std::make_unique<usbtest::UmockdevReader>(std::move(reader));
    if (!usbtest::UmockdevReader::Available()) {
      bed.reset();
      GTEST_SKIP() << "not under umockdev-wrapper (no LD_PRELOAD)";
    }
    host = std::make_unique<host::Host>(kernel::ClockMode::Simulated);
    resources = std::make_unique<host::ResourceManager>(*host);
    hotplug = std::make_unique<host::UsbHotplug>();
    ASSERT_TRUE(hotplug->Ok()) << hotplug->Error();
  }

  void TearDown() override {
    if (!bed) return;
    if (pnp && pnp->State() != host::DeviceState::Removed) pnp->Remove();
    pnp.reset();
    plugged.reset();
    hotplug.reset();
    resources.reset();
    EXPECT_EQ(kernel::pool::LiveBlocks(DriverPoolTag), 0u) << "the driver's pool blocks are all freed";
    EXPECT_EQ(kernel::irps::Live(), 0u) << "every request was completed and freed";
    host.reset();
    EXPECT_EQ(bed->UrbsUnderWay(), 0u) << "libusb reaped every URB";
  }

  // The device arrives (or is there): a port, AddDevice, start, a handle.
  NTSTATUS PlugAndOpen() {
    const usb::DeviceMatch match{bed->Address().vendorId, bed->Address().productId, 1, bed->Address().address};
    const std::optional<usb::DeviceAddress> device = hotplug->WaitFor(match, 5s);
    if (!device) return STATUS_NO_SUCH_DEVICE;
    std::string error;
    std::unique_ptr<usb::BusPort> port = hotplug->Open(*device, &error);
    if (!port) return STATUS_NO_SUCH_DEVICE;
    plugged = std::make_unique<host::PluggedReader>(std::move(port));
    pnp = std::make_unique<host::PnpManager>(*host, *plugged, *resources);
    hotplug->OnDeparture(*device, [this] { pnp->SurpriseRemove(); });
    NTSTATUS status = pnp->Add();
    if (NT_SUCCESS(status)) status = pnp->Start();
    if (NT_SUCCESS(status)) status = resources->Open(*plugged, "");
    return status;
  }

  kernel::IoResult Send(const host::ControlRequest& request) { return resources->Send(request); }
  Bytes Apdu(ULONG protocol, const Bytes& command) {
    const kernel::IoResult result = Send(host::TransmitRequest(protocol, command));
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    return result.output.size() >= 8 ? Bytes(result.output.begin() + 8, result.output.end()) : Bytes{};
  }

  std::unique_ptr<usbtest::UmockdevReader> bed;
  std::unique_ptr<host::Host> host;
  std::unique_ptr<host::ResourceManager> resources;
  std::unique_ptr<host::UsbHotplug> hotplug;
  std::unique_ptr<host::PluggedReader> plugged;
  std::unique_ptr<host::PnpManager> pnp;
};

// Start, identity, the largest command and response byte for byte through
// libusb (no 16 KiB split), the T=0 frame as the driver built it; then a
// silent reader: the read is cancelled (DISCARDURB) at the 7 s bound, in
// simulated time, and the reader answers again afterwards.
TEST_F(LibusbPortTest, StartExchangeAndTheSevenSecondBound) {
  ASSERT_EQ(PlugAndOpen(), STATUS_SUCCESS);
  EXPECT_EQ(pnp->State(), host::DeviceState::Started);
  const kernel::IoResult version = Send(host::VendorRequest(host::VendorAction::Version));
  EXPECT_EQ(version.output, (Bytes{0x50, 0x01, 0x00, 0x00, 0x02, 0x1B, 0x02, 0x27}));
  const kernel::IoResult atr = Send(host::PowerRequest(SCARD_COLD_RESET));
  ASSERT_EQ(atr.status, STATUS_SUCCESS);
  EXPECT_EQ(atr.output, bed->Reader().CurrentCard()->Atr());
  ASSERT_EQ(Send(host::ProtocolRequest(SCARD_PROTOCOL_T1)).status, STATUS_SUCCESS);
  const Bytes command = Echo(65533);
  const Bytes echoed = Apdu(SCARD_PROTOCOL_T1, command);
  ASSERT_EQ(echoed.size(), 65535u);
  EXPECT_TRUE(std::equal(command.begin() + 7, command.end() - 2, echoed.begin()));

  ASSERT_EQ(Send(host::PowerRequest(SCARD_COLD_RESET)).status, STATUS_SUCCESS);
  ASSERT_EQ(Send(host::ProtocolRequest(SCARD_PROTOCOL_T0)).status, STATUS_SUCCESS);
  EXPECT_EQ(Apdu(SCARD_PROTOCOL_T0, kChallenge).size(), 10u);
  EXPECT_EQ(bed->Reader().FramesReceived().back().bytes,
            (Bytes{0x52, 0x00, 0x00, 0x05, 0x00, 0x84, 0x00, 0x00, 0x08, 0xDB}));

  bed->Reader().GoSilentFromFrame(bed->Reader().Counters().framesReceived + 1);
  const LONGLONG start = kernel::Now();
  EXPECT_EQ(Send(host::VendorRequest(host::VendorAction::Version)).status, STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(kernel::Now() - start, 7 * kernel::kSecond) << "the clock moved only while the reader was silent";
  EXPECT_EQ(bed->UrbsParked(), 0u) << "the IN transfer the reader held was discarded";
  bed->Reader().GoSilentFromFrame(0);
  EXPECT_EQ(Apdu(SCARD_PROTOCOL_T0, kChallenge).size(), 10u);
}

TEST_F(LibusbPortTest, UnplugDuringATransmit) {
  ASSERT_EQ(PlugAndOpen(), STATUS_SUCCESS);
  ASSERT_EQ(Send(host::PowerRequest(SCARD_COLD_RESET)).status, STATUS_SUCCESS);
  ASSERT_EQ(Send(host::ProtocolRequest(SCARD_PROTOCOL_T1)).status, STATUS_SUCCESS);
  // The reader holds its answer: the transmit waits on the bus when the reader leaves.
  bed->Reader().ScriptFault(emu::ReplyFault::Withhold());
  kernel::IoResult failed;
  kernel::SystemThread transmitting(
      "transmit", [&] { failed = resources->Send(host::TransmitRequest(SCARD_PROTOCOL_T1, kChallenge)); });
  while (bed->UrbsParked() == 0) kernel::SleepFor(kernel::kMillisecond);
  bed->Unplug();
  ASSERT_TRUE(hotplug->AwaitDeparture(bed->Address(), 10s)) << "the departure reached the host";
  transmitting.Join();
  EXPECT_FALSE(NT_SUCCESS(failed.status)) << std::hex << failed.status;
  EXPECT_EQ(pnp->State(), host::DeviceState::SurpriseRemoved) << "the removal waits for the open handle";
  resources->CloseAll();
  EXPECT_EQ(pnp->State(), host::DeviceState::Removed);
  EXPECT_EQ(kernel::irps::InProgress(), 0u);
}

}  // namespace
