// Whole lifecycles through the driver's entry: load, add, start, requests
// from an application, removal, unload.
#include <gtest/gtest.h>

#include "driver/models/model.h"
#include "driver/reader/vendor_ioctl.h"
#include "tests/driver/dispatch/driver_under_test.h"

namespace {

using dispatchtest::Bytes;
using dispatchtest::DriverUnderTest;
using kernel::kSecond;

// SCARD_IO_REQUEST {dwProtocol, cbPciLength = 8} followed by the APDU.
Bytes TransmitInput(ULONG protocol, const Bytes& apdu) {
  Bytes input = dispatchtest::Ulong(protocol);
  const Bytes length = dispatchtest::Ulong(8);
  input.insert(input.end(), length.begin(), length.end());
  input.insert(input.end(), apdu.begin(), apdu.end());
  return input;
}

Bytes Tail(const Bytes& bytes, std::size_t n) { return Bytes(bytes.end() - static_cast<long>(n), bytes.end()); }

TEST(LifecycleTest, T1CardFromInsertionToRemoval) {
  DriverUnderTest d(DriverUnderTest::Instant(), /*start=*/false);
  ASSERT_EQ(d.Start(), STATUS_SUCCESS);
  ASSERT_EQ(d.Open(), STATUS_SUCCESS);
  EXPECT_EQ(d.Ioctl(IOCTL_SMARTCARD_GET_STATE, {}, 4).status, STATUS_SUCCESS);

  // The card comes while the resource manager waits for it.
  auto present = d.StartIoctl(IOCTL_SMARTCARD_IS_PRESENT);
  kernel::SleepFor(kSecond);
  d.reader->InsertCard(dispatchtest::T1Card());
  EXPECT_EQ(present->Wait().status, STATUS_SUCCESS);

  const kernel::IoResult atr = d.Ioctl(IOCTL_SMARTCARD_POWER, dispatchtest::Ulong(SCARD_COLD_RESET), 64);
  EXPECT_EQ(atr.status, STATUS_SUCCESS);
  EXPECT_EQ(atr.output, d.reader->CurrentCard()->Atr());
  const kernel::IoResult selected = d.Ioctl(IOCTL_SMARTCARD_SET_PROTOCOL, dispatchtest::Ulong(3), 4);
  EXPECT_EQ(selected.status, STATUS_SUCCESS);
  EXPECT_EQ(selected.output, dispatchtest::Ulong(SCARD_PROTOCOL_T1));
  EXPECT_EQ(d.State(), static_cast<ULONG>(SCARD_SPECIFIC));

  // SELECT of the master file, then a 1 KiB echo that is chained both ways at IFSC 32.
  const kernel::IoResult select =
      d.Ioctl(IOCTL_SMARTCARD_TRANSMIT, TransmitInput(SCARD_PROTOCOL_T1, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}),
              8 + 258);
  EXPECT_EQ(select.status, STATUS_SUCCESS);
  ASSERT_GE(select.output.size(), 10u);
  EXPECT_EQ(Tail(select.output, 2), (Bytes{0x90, 0x00}));
  Bytes echo = {0x80, 0x22, 0x00, 0x00, 0x00, 0x04, 0x00};
  for (int i = 0; i < 1024; ++i) echo.push_back(static_cast<std::uint8_t>(i * 7));
  echo.push_back(0x00);
  echo.push_back(0x00);
  const kernel::IoResult echoed = d.Ioctl(IOCTL_SMARTCARD_TRANSMIT, TransmitInput(SCARD_PROTOCOL_T1, echo), 8 + 1026);
  EXPECT_EQ(echoed.status, STATUS_SUCCESS);
  ASSERT_EQ(echoed.output.size(), 8u + 1026u);
  EXPECT_EQ(Bytes(echoed.output.begin() + 8, echoed.output.end() - 2), Bytes(echo.begin() + 7, echo.end() - 2));

  const kernel::IoResult version = d.Ioctl(IOCTL_VENDOR_GET_VERSION, {}, 8);
  EXPECT_EQ(version.status, STATUS_SUCCESS);
  EXPECT_EQ(version.output, (Bytes{0x50, 0x01, 0x00, 0x00, ModelIdentity.DriverVersionMajor,
                                   ModelIdentity.DriverVersionMinor, 0x02, 0x27}));

  EXPECT_EQ(d.Ioctl(IOCTL_SMARTCARD_EJECT).status, STATUS_SUCCESS);
  EXPECT_EQ(d.State(), static_cast<ULONG>(SCARD_ABSENT));
  EXPECT_EQ(d.reader->CurrentCard(), nullptr);

  // Removal completes a tracking request still waiting, with success.
  auto waiting = d.StartIoctl(IOCTL_SMARTCARD_IS_PRESENT);
  kernel::SleepFor(kSecond);
  d.Close();  // cleanup cancels it: the resource manager asks again on a new handle
  EXPECT_EQ(waiting->Wait().status, STATUS_CANCELLED);
  auto atRemoval = d.StartIoctl(IOCTL_SMARTCARD_IS_PRESENT);
  kernel::SleepFor(kSecond);
  d.Remove();
  EXPECT_EQ(atRemoval->Wait().status, STATUS_SUCCESS);
}

TEST(LifecycleTest, T0CardCommandsThroughTheReadersT0Frames) {
  DriverUnderTest d(DriverUnderTest::Instant(), /*start=*/false);
  d.reader->InsertCard(std::make_shared<emu::Card>());  // offers T=0 and T=1
  ASSERT_EQ(d.Start(), STATUS_SUCCESS);
  ASSERT_EQ(d.Open(), STATUS_SUCCESS);
  ASSERT_EQ(d.Ioctl(IOCTL_SMARTCARD_POWER, dispatchtest::Ulong(SCARD_COLD_RESET), 64).status, STATUS_SUCCESS);
  const kernel::IoResult selected = d.Ioctl(IOCTL_SMARTCARD_SET_PROTOCOL, dispatchtest::Ulong(SCARD_PROTOCOL_T0), 4);
  EXPECT_EQ(selected.output, dispatchtest::Ulong(SCARD_PROTOCOL_T0));
  // GET CHALLENGE of 8 bytes: case 2.
  const kernel::IoResult challenge =
      d.Ioctl(IOCTL_SMARTCARD_TRANSMIT, TransmitInput(SCARD_PROTOCOL_T0, {0x00, 0x84, 0x00, 0x00, 0x08}), 8 + 10);
  EXPECT_EQ(challenge.status, STATUS_SUCCESS);
  ASSERT_EQ(challenge.output.size(), 18u);
  EXPECT_EQ(Tail(challenge.output, 2), (Bytes{0x90, 0x00}));
  const auto frames = d.reader->FramesReceived();
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.back().bytes, (Bytes{0x52, 0x00, 0x00, 0x05, 0x00, 0x84, 0x00, 0x00, 0x08, 0xDB}))
      << "one T=0 frame with a two-byte length and the check byte";
}

TEST(LifecycleTest, OldGenerationReaderRunsT1Itself) {
  emu::ReaderConfig config = DriverUnderTest::Instant();
  config.firmwareVersion = "1.50";
  DriverUnderTest d(config, /*start=*/false);
  d.reader->InsertCard(dispatchtest::T1Card());
  ASSERT_EQ(d.Start(), STATUS_SUCCESS);
  EXPECT_EQ(d.Context().FirmwareVersion, 0x150);
  ASSERT_EQ(d.Open(), STATUS_SUCCESS);
  d.ResetAndSelectT1();
  const kernel::IoResult select =
      d.Ioctl(IOCTL_SMARTCARD_TRANSMIT, TransmitInput(SCARD_PROTOCOL_T1, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}),
              8 + 258);
  EXPECT_EQ(select.status, STATUS_SUCCESS);
  ASSERT_GE(select.output.size(), 10u);
  EXPECT_EQ(Tail(select.output, 2), (Bytes{0x90, 0x00}));
  bool sawCardFrame = false;
  for (const auto& frame : d.reader->FramesReceived()) sawCardFrame |= frame.bytes[0] == 0x51;
  EXPECT_TRUE(sawCardFrame) << "the APDU went out whole in an old-generation 0x51 frame";
}

TEST(LifecycleTest, DispatchTableLeavesOtherRequestsToThePlatform) {
  DriverUnderTest d(DriverUnderTest::Instant(), /*start=*/false);
  for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_INTERNAL_DEVICE_CONTROL}) {
    EXPECT_EQ(kernel::SendIrpAndWait(d.Fdo(), major, 0).Status, STATUS_INVALID_DEVICE_REQUEST);
  }
  // System control passes down before start and leaves the count as it was.
  EXPECT_EQ(kernel::SendIrpAndWait(d.Fdo(), IRP_MJ_SYSTEM_CONTROL, 0).Status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(d.Context().IoCount, 1);
  ASSERT_EQ(d.Start(), STATUS_SUCCESS);
  ASSERT_EQ(d.Pnp(IRP_MN_QUERY_REMOVE_DEVICE).Status, STATUS_SUCCESS);
  EXPECT_EQ(kernel::SendIrpAndWait(d.Fdo(), IRP_MJ_SYSTEM_CONTROL, 0).Status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(d.Context().IoCount, 1);
}

TEST(LifecycleTest, UnitNumbersStartAtZeroAfterEachLoad) {
  for (int load = 0; load < 2; ++load) {
    DriverUnderTest d(DriverUnderTest::Instant(), /*start=*/false);
    EXPECT_EQ(d.Context().SmartcardExtension.VendorAttr.UnitNo, 0u);
  }
}

}  // namespace
