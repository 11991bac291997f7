// A physical reader as its users reach it: a readerctl script with `reader
// usb`, and the IFD handler opened by the name pcscd's USB hot-plug gives.
// Both run in real time, as with a real device (they wait for nothing).
// Skipped unless run under umockdev-wrapper.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "host/emulated_cards.h"
#include "host/script_session.h"
#include "ifd/handler.h"
#include "tests/platform/usb/umockdev/umockdev_reader.h"

namespace {

std::unique_ptr<usbtest::UmockdevReader> Testbed() {
  emu::ReaderConfig config = host::ReaderConfigFor("2.27");
  config.timing = emu::TimingModel::Instant();
  auto reader = std::make_shared<emu::Reader>(config);
  reader->InsertCard(host::MakeCard(host::CardKind::T1));
  auto bed = std::make_unique<usbtest::UmockdevReader>(std::move(reader));
  if (!usbtest::UmockdevReader::Available()) bed.reset();
  return bed;
}

TEST(PhysicalReader, ReaderctlDrivesItWithReaderUsb) {
  const std::unique_ptr<usbtest::UmockdevReader> bed = Testbed();
  if (!bed) GTEST_SKIP() << "not under umockdev-wrapper (no LD_PRELOAD)";
  std::istringstream script("reader usb=5A54:2210@1.2\nplug\nopen\npower cold\nprotocol t1\napdu 00A4020C020101\n");
  std::ostringstream out;
  std::ostringstream trace;
  const host::ScriptOutcome outcome = host::RunScript(script, {kernel::ClockMode::Real, false}, out, trace);
  EXPECT_TRUE(outcome.ok) << outcome.error;
  EXPECT_EQ(out.str(),
            "reader usb=5A54:2210@1.2 -> OK\n"
            "plug -> STATUS_SUCCESS 0x00000000\n"
            "open -> STATUS_SUCCESS 0x00000000\n"
            "power cold -> STATUS_SUCCESS 0x00000000 3B84811120454D553158\n"
            "protocol t1 -> STATUS_SUCCESS 0x00000000 02000000\n"
            "apdu 00A4020C020101 -> STATUS_SUCCESS 0x00000000 02000000080000009000\n");
  EXPECT_EQ(bed->UrbsUnderWay(), 0u) << "libusb reaped every URB";
}

TEST(PhysicalReader, TheIfdHandlerOpensPcscdsUsbDeviceName) {
  const std::unique_ptr<usbtest::UmockdevReader> bed = Testbed();
  if (!bed) GTEST_SKIP() << "not under umockdev-wrapper (no LD_PRELOAD)";
  ASSERT_EQ(ifd::CreateChannelByName(0, "usb:5a54/2210:libudev:0:/dev/bus/usb/001/002"), ifd::kSuccess);
  unsigned char atr[33];
  unsigned long length = sizeof atr;
  EXPECT_EQ(ifd::PowerIcc(0, ifd::kPowerUp, atr, &length), ifd::kSuccess);
  EXPECT_EQ(std::vector<std::uint8_t>(atr, atr + length), bed->Reader().CurrentCard()->Atr());
  // The reader leaves the bus; the departure comes through libusb's hot-plug
  // thread, so pcscd's question is asked again until it has arrived (10 s at most).
  bed->Unplug();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  ifd::Response presence = ifd::IccPresence(0);
  while (presence != ifd::kNoSuchDevice && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
    presence = ifd::IccPresence(0);
  }
  EXPECT_EQ(presence, ifd::kNoSuchDevice);
  EXPECT_EQ(ifd::CloseChannel(0), ifd::kSuccess);
}

}  // namespace
