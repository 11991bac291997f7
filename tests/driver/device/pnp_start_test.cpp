// IRP_MN_START_DEVICE: configuration, the first conversation with the
// reader, the first card state, and the interface enabled; starts that fail
// and what they leave.
#include <gtest/gtest.h>

#include "emulator/reader/frame.h"
#include "driver/reader/reader_commands.h"
#include "platform/smclib/event_log.h"
#include "tests/fixture/plugged_reader.h"

namespace {

using readertest::Bench;
using readertest::Bytes;
using readertest::CommandOf;
using readertest::Ms;
using readertest::PluggedReader;
using readertest::ReaderPoweringCards;
using readertest::ReaderWithFirmware;
using readertest::DualProtocolCard;

using Commands = std::vector<std::uint8_t>;

std::vector<NTSTATUS> LoggedCodes(PVOID object) {
  std::vector<NTSTATUS> codes;
  for (const smclib::EventLogEntry& entry : smclib::EventLog()) {
    if (entry.object == object) codes.push_back(entry.code);
  }
  return codes;
}

Bytes AtrOf(const DeviceContext& context) {
  const auto& atr = context.SmartcardExtension.CardCapabilities.ATR;
  return Bytes(atr.Buffer, atr.Buffer + atr.Length);
}

TEST(Start, WithACardReadsTheAtrAndReportsTheCardPresent) {
  Bench bench;
  PluggedReader r(bench, ReaderPoweringCards());
  auto card = DualProtocolCard();
  r.Reader().InsertCard(card);
  ASSERT_EQ(r.Add(), STATUS_SUCCESS);
  ASSERT_EQ(r.Start(), STATUS_SUCCESS);

  const DeviceContext& context = r.Context();
  // Firmware version, status (which sets the fresh reader up), ATR.
  EXPECT_EQ(r.Commands(), (Commands{0xC0, 0x31, 0xD0, 0x41, 0x35}));
  EXPECT_EQ(AtrOf(context), card->Atr());
  EXPECT_EQ(context.SmartcardExtension.ReaderCapabilities.CurrentState, SCARD_PRESENT);
  EXPECT_NE(context.SmartcardExtension.CardCapabilities.Protocol.Supported, 0u) << "the capabilities come from the ATR";
  EXPECT_EQ(r.InterfaceEnabled(), std::optional<bool>(true));
  EXPECT_EQ(context.DeviceStarted, 1);
  EXPECT_EQ(context.SmartcardExtension.ReaderCapabilities.MaxIFSD, 254u);
  EXPECT_EQ(context.FirmwareVersion, 0x227);
  EXPECT_EQ(context.SmartcardExtension.VendorAttr.IfdVersion.VersionMajor, 2);
  EXPECT_EQ(context.SmartcardExtension.VendorAttr.IfdVersion.VersionMinor, 0x27);
  EXPECT_TRUE(LoggedCodes(r.Device()).empty());

  // The poll armed at creation reads the state once, then leaves the reader alone.
  r.ClearTrace();
  Bench::Wait(2000 * Ms);
  EXPECT_EQ(r.Commands(), (Commands{0x31}));
  EXPECT_EQ(context.PollRequested, 0);
  EXPECT_EQ(context.SmartcardExtension.ReaderCapabilities.CurrentState, SCARD_PRESENT);
}

TEST(Start, WithoutACardRunsTheSetUpSequenceAndReportsNoCard) {
  Bench bench;
  PluggedReader r(bench);
  ASSERT_EQ(r.Add(), STATUS_SUCCESS);
  ASSERT_EQ(r.Start(), STATUS_SUCCESS);
  EXPECT_EQ(r.Commands(), (Commands{0xC0, 0x31, 0xD0, 0x41, 0xD0, 0x41}));
  const DeviceContext& context = r.Context();
  EXPECT_EQ(context.SmartcardExtension.ReaderCapabilities.CurrentState, SCARD_ABSENT);
  EXPECT_EQ(context.SmartcardExtension.CardCapabilities.ATR.Length, 0);
  EXPECT_EQ(r.InterfaceEnabled(), std::optional<bool>(true));
}

TEST(Start, ACardNotYetPoweredCountsAsNoCardUntilThePollSeesIt) {
  Bench bench;
  PluggedReader r(bench);
  r.Reader().InsertCard(DualProtocolCard());
  ASSERT_EQ(r.Add(), STATUS_SUCCESS);
  ASSERT_EQ(r.Start(), STATUS_SUCCESS);
  EXPECT_EQ(r.Commands(), (Commands{0xC0, 0x31, 0xD0, 0x41, 0xD0, 0x41}));
  EXPECT_EQ(r.Extension().ReaderCapabilities.CurrentState, SCARD_ABSENT);
  Bench::Wait(600 * Ms);
  EXPECT_EQ(r.Extension().ReaderCapabilities.CurrentState, SCARD_PRESENT);
  // The same after a stop and a start: the poll reads the card afresh.
  ASSERT_EQ(r.Pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  ASSERT_EQ(r.Pnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  ASSERT_EQ(r.Start(), STATUS_SUCCESS);
  EXPECT_EQ(r.Extension().ReaderCapabilities.CurrentState, SCARD_ABSENT);
  Bench::Wait(600 * Ms);
  EXPECT_EQ(r.Extension().ReaderCapabilities.CurrentState, SCARD_PRESENT);
  EXPECT_EQ(r.Context().PollRequested, 0);
}

TEST(Start, NoPollComesBetweenTheAtrReadAndItsCopy) {
  Bench bench;
  PluggedReader r(bench, ReaderPoweringCards());
  auto card = DualProtocolCard();
  r.Reader().InsertCard(card);
  ASSERT_EQ(r.Add(), STATUS_SUCCESS);
  DeviceContext& context = r.Context();
  // The start is preempted as it gives ReaderLock up after the ATR command,
  // long enough for the poll armed at AddDevice to run its status command.
  kernel::faults::PreemptAfterRelease(&context.ReaderLock.SpinLock, [&] {
    if (context.ReaderLock.Owner != nullptr || r.Commands().empty() || r.Commands().back() != 0x35) return false;
    Bench::Wait(1000 * Ms);
    return true;
  });
  ASSERT_EQ(r.Start(), STATUS_SUCCESS);
  EXPECT_EQ(CommandOf(r.Frames().back()), 0x31) << "the poll ran while the start stood still";
  EXPECT_EQ(AtrOf(context), card->Atr());
}

TEST(Start, AnAtrReadThatFailsIsNotCopiedPastTheLibrarysBuffer) {
  Bench bench;
  // An older reader, whose reply header can announce more than the exchange buffer holds.
  PluggedReader r(bench, ReaderPoweringCards("1.50"));
  r.Reader().InsertCard(DualProtocolCard());
  for (int frame = 0; frame < 4; ++frame) r.Reader().ScriptFault(emu::ReplyFault::Delay(0));
  r.Reader().ScriptFault(emu::ReplyFault::Oversized());
  ASSERT_EQ(r.Add(), STATUS_SUCCESS);
  ASSERT_EQ(r.Start(), STATUS_SUCCESS);
  const DeviceContext& context = r.Context();
  EXPECT_EQ(CommandOf(r.Frames().at(4)), 0x35);
  EXPECT_GT(context.ExchangeLength, 64u) << "the failed read left more than the buffer holds";
  const SCARD_CARD_CAPABILITIES& card = context.SmartcardExtension.CardCapabilities;
  EXPECT_EQ(card.ATR.Length, 0);
  EXPECT_EQ(card.HistoricalChars.Length, 0);
  EXPECT_EQ(context.SmartcardExtension.ReaderCapabilities.CurrentState, SCARD_PRESENT)
      << "the card is there; its first reset reads the ATR";
}

struct FirmwareCase {
  const char* firmware;
  int refusedProbes;
  USHORT version;
  UCHAR major;
  UCHAR minor;
};

class StartFirmware : public testing::TestWithParam<FirmwareCase> {};

TEST_P(StartFirmware, ProbesUnder221ThenUnder201) {
  const FirmwareCase& c = GetParam();
  Bench bench;
  PluggedReader r(bench, ReaderWithFirmware(c.firmware));
  for (int probe = 0; probe < c.refusedProbes; ++probe) r.Reader().ScriptFault(emu::ReplyFault::ErrorReply());
  ASSERT_EQ(r.Add(), STATUS_SUCCESS);
  ASSERT_EQ(r.Start(), STATUS_SUCCESS);
  const std::vector<Bytes> frames = r.Frames();
  const std::size_t probes = c.refusedProbes == 0 ? 1 : 2;
  ASSERT_GT(frames.size(), probes);
  for (std::size_t i = 0; i < probes; ++i) {
    EXPECT_EQ(frames[i][0], emu::kNewCommandAddress) << "both probes use the newer frames";
    EXPECT_EQ(CommandOf(frames[i]), 0xC0);
  }
  EXPECT_EQ(CommandOf(frames[probes]), 0x31);
  const DeviceContext& context = r.Context();
  EXPECT_EQ(context.FirmwareVersion, c.version);
  EXPECT_EQ(context.SmartcardExtension.VendorAttr.IfdVersion.VersionMajor, c.major);
  EXPECT_EQ(context.SmartcardExtension.VendorAttr.IfdVersion.VersionMinor, c.minor);
  EXPECT_EQ(context.DeviceStarted, 1);
  EXPECT_EQ(r.InterfaceEnabled(), std::optional<bool>(true));
}

INSTANTIATE_TEST_SUITE_P(Versions, StartFirmware,
                         testing::Values(FirmwareCase{"2.27", 0, 0x227, 2, 0x27},
                                         FirmwareCase{"2.27", 1, 0x227, 2, 0x27},
                                         FirmwareCase{"1.50", 1, 0x150, 1, 0x50},
                                         FirmwareCase{"2.27", 2, 0x201, 0, 0}));

TEST(Start, AReaderOlderThan102IsLoggedAndStarted) {
  Bench bench;
  PluggedReader r(bench, ReaderWithFirmware("1.01"));
  ASSERT_EQ(r.Add(), STATUS_SUCCESS);
  ASSERT_EQ(r.Start(), STATUS_SUCCESS);
  EXPECT_EQ(LoggedCodes(r.Device()), std::vector<NTSTATUS>{EventCodeFirmwareTooOld});
  EXPECT_EQ(r.Context().FirmwareVersion, 0x101);
  EXPECT_EQ(r.Context().DeviceStarted, 1);
  EXPECT_EQ(r.InterfaceEnabled(), std::optional<bool>(true));
  const std::vector<Bytes> frames = r.Frames();
  ASSERT_GT(frames.size(), 1u);
  EXPECT_EQ(frames[1][0], emu::kOldCommandType) << "the status command in the older frames";
}

TEST(Start, ReadsALongerConfigurationDescriptorAgainAtItsLength) {
  Bench bench;
  emu::ReaderConfig config = ReaderWithFirmware("2.27");
  config.configurationTotalLength = 600;
  PluggedReader r(bench, config);
  ASSERT_EQ(r.Add(), STATUS_SUCCESS);
  ASSERT_EQ(r.Start(), STATUS_SUCCESS);
  EXPECT_EQ(r.DescriptorReads(USB_DEVICE_DESCRIPTOR_TYPE), std::vector<ULONG>{18});
  // 521 bytes first, then again at the length the descriptor gives.
  EXPECT_EQ(r.DescriptorReads(USB_CONFIGURATION_DESCRIPTOR_TYPE), (std::vector<ULONG>{521, 600}));
  const DeviceContext& context = r.Context();
  for (ULONG pipe = 0; pipe < 2; ++pipe) {
    EXPECT_EQ(context.InterfaceInformation->Pipes[pipe].MaximumTransferSize, 0x10400u);
    EXPECT_NE(context.InterfaceInformation->Pipes[pipe].PipeHandle, nullptr);
  }
  SIZE_T size = 0;
  ASSERT_TRUE(kernel::pool::IsLiveBlock(r.Context().ConfigurationDescriptor, nullptr, &size));
  EXPECT_EQ(size, 600u);
}

struct PipeLayout {
  std::uint8_t endpoints;
  emu::EndpointOrder order;
  bool starts;
};

class StartPipes : public testing::TestWithParam<PipeLayout> {};

TEST_P(StartPipes, NeedsOneBulkPipeEachWayFirst) {
  const PipeLayout& layout = GetParam();
  Bench bench;
  emu::ReaderConfig config = ReaderWithFirmware("2.27");
  config.endpointCount = layout.endpoints;
  config.endpointOrder = layout.order;
  PluggedReader r(bench, config);
  ASSERT_EQ(r.Add(), STATUS_SUCCESS);
  if (layout.starts) {
    EXPECT_EQ(r.Start(), STATUS_SUCCESS);
    EXPECT_EQ(r.Context().DeviceStarted, 1);
    EXPECT_EQ(r.Context().InterfaceInformation->NumberOfPipes, layout.endpoints);
    return;
  }
  EXPECT_EQ(r.Start(), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(r.Context().DeviceStarted, 0);
  EXPECT_EQ(r.InterfaceEnabled(), std::optional<bool>(false));
  EXPECT_EQ(LoggedCodes(r.Device()), std::vector<NTSTATUS>{EventCodeStartFailed});
  Bench::Wait(1000 * Ms);
  EXPECT_TRUE(r.Port().BulkTrace().empty()) << "nothing is sent to a reader that was not started";
}

INSTANTIATE_TEST_SUITE_P(Interfaces, StartPipes,
                         testing::Values(PipeLayout{2, emu::EndpointOrder::BulkInFirst, true},
                                         PipeLayout{2, emu::EndpointOrder::BulkOutFirst, true},
                                         PipeLayout{3, emu::EndpointOrder::BulkInFirst, true},
                                         PipeLayout{1, emu::EndpointOrder::BulkInFirst, false},
                                         PipeLayout{1, emu::EndpointOrder::BulkOutFirst, false},
                                         PipeLayout{0, emu::EndpointOrder::BulkInFirst, false}));

TEST(Start, AConfigurationDescriptorReadThatFailsFailsTheStartUntilTheDeviceAnswers) {
  using Fault = readertest::DescriptorFaults::Fault;
  Bench bench;
  auto reader = std::make_shared<emu::Reader>(ReaderWithFirmware("2.27"));
  auto function = std::make_shared<readertest::DescriptorFaults>(reader);
  PluggedReader r(bench, function, reader);
  ASSERT_EQ(r.Add(), STATUS_SUCCESS);

  function->SetConfigurationFault(Fault::Stall);
  EXPECT_EQ(r.Start(), STATUS_UNSUCCESSFUL);
  function->SetConfigurationFault(Fault::Truncate, 5);
  EXPECT_EQ(r.Start(), STATUS_DEVICE_DATA_ERROR);
  // Header whole, interface and endpoints missing.
  function->SetConfigurationFault(Fault::Truncate, 12);
  EXPECT_EQ(r.Start(), STATUS_DEVICE_DATA_ERROR);
  const DeviceContext& context = r.Context();
  EXPECT_EQ(context.DeviceStarted, 0);
  EXPECT_EQ(context.ConfigurationDescriptor, nullptr);
  EXPECT_EQ(context.InterfaceInformation, nullptr);
  EXPECT_EQ(r.ConfigurationRequests(), std::vector<usb::TraceEntry::Kind>{}) << "nothing was selected";
  EXPECT_EQ(LoggedCodes(r.Device()),
            (std::vector<NTSTATUS>{EventCodeStartFailed, EventCodeStartFailed, EventCodeStartFailed}));
  EXPECT_TRUE(r.Port().BulkTrace().empty());

  function->SetConfigurationFault(Fault::None);
  r.ClearTrace();
  EXPECT_EQ(r.Start(), STATUS_SUCCESS);
  EXPECT_EQ(r.DescriptorReads(USB_DEVICE_DESCRIPTOR_TYPE), std::vector<ULONG>{}) << "kept from the first start";
  EXPECT_EQ(r.DescriptorReads(USB_CONFIGURATION_DESCRIPTOR_TYPE), std::vector<ULONG>{521});
  EXPECT_EQ(context.DeviceStarted, 1);
}

TEST(Start, AnInterfaceThatCannotBeEnabledFailsTheStartOfAStartedDevice) {
  Bench bench;
  PluggedReader r(bench);
  ASSERT_EQ(r.Add(), STATUS_SUCCESS);
  kernel::faults::FailNext("IoSetDeviceInterfaceState", STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(r.Start(), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(r.Context().DeviceStarted, 1);
  EXPECT_EQ(r.InterfaceEnabled(), std::optional<bool>(false));
  EXPECT_EQ(LoggedCodes(r.Device()), std::vector<NTSTATUS>{EventCodeStartFailed});
}

}  // namespace
