// AddDevice: what a new device holds, the I/O count, unit numbers, and
// creation that fails at each step without leaving anything behind.
// IRP_MN_START_DEVICE: configuration, the first conversation with the
// reader, the first card state, and the interface enabled; starts that fail,
// including on bus answers that do not add up, and what they leave.
#include <gtest/gtest.h>

#include <functional>

#include "driver/device/io_count.h"
#include "driver/device/reader_unit_counter.h"
#include "emulator/reader/frame.h"
#include "platform/smclib/event_log.h"
#include "platform/smclib/library.h"
#include "tests/fixture/plugged_reader.h"

namespace {

using readertest::Bench;
using readertest::Bytes;
using readertest::CommandOf;
using readertest::DualProtocolCard;
using readertest::Ms;
using readertest::PluggedReader;
using readertest::ReaderPoweringCards;
using readertest::ReaderWithFirmware;

using Commands = std::vector<std::uint8_t>;

std::vector<NTSTATUS> LoggedCodes(PVOID object) {
  std::vector<NTSTATUS> codes;
  for (const smclib::EventLogEntry& entry : smclib::EventLog()) {
    if (entry.object == object) codes.push_back(entry.code);
  }
  return codes;
}

TEST(AddDevice, LeavesARegisteredDisabledReaderWithThePollArmed) {
  Bench bench;
  PluggedReader r(bench);
  DEVICE_CAPABILITIES answer{};
  answer.DeviceWake = PowerDeviceD2;
  r.Port().SetCapabilities(answer);
  ASSERT_EQ(r.Add(), STATUS_SUCCESS);

  PDEVICE_OBJECT device = r.Device();
  DeviceContext& context = r.Context();
  EXPECT_EQ(device->Flags & (DO_DIRECT_IO | DO_POWER_PAGABLE | DO_DEVICE_INITIALIZING | DO_EXCLUSIVE),
            DO_DIRECT_IO | DO_POWER_PAGABLE | DO_EXCLUSIVE);
  EXPECT_EQ(context.AttachedDeviceObject, r.Port().PhysicalDeviceObject());
  EXPECT_EQ(context.DeviceCapabilities.DeviceWake, PowerDeviceD2) << "the bus driver's answer is kept";
  EXPECT_EQ(r.Extension().OsData->DeviceObject, device);
  EXPECT_EQ(r.Extension().ReaderCapabilities.MaxIFSD, 0u) << "set by the start";
  EXPECT_EQ(r.InterfaceEnabled(), std::optional<bool>(false));
  EXPECT_TRUE(r.Port().Trace().empty()) << "the USB device is left alone until the start";

  // The I/O count: idle once only the device's own reference is left,
  // drained once nothing is; neither event is ever reset, so query-remove
  // does not wait for a request that came in after it.
  EXPECT_EQ(context.IoCount, 1);
  IoIncrement(device);
  IoIncrement(device);
  EXPECT_EQ(IoDecrement(device), 2);
  EXPECT_EQ(KeReadStateEvent(&context.IoIdleEvent), 0) << "3 to 2 signals nothing";
  EXPECT_EQ(IoDecrement(device), 1);
  EXPECT_NE(KeReadStateEvent(&context.IoIdleEvent), 0);
  EXPECT_EQ(KeReadStateEvent(&context.IoDrainedEvent), 0);
  IoIncrement(device);
  EXPECT_NE(KeReadStateEvent(&context.IoIdleEvent), 0);
  EXPECT_EQ(IoDecrement(device), 1);

  // Before the start the poll is refused every time, and tries again.
  EXPECT_EQ(context.PollRequested, 1);
  Bench::Wait(1600 * readertest::Ms);
  EXPECT_TRUE(r.Port().BulkTrace().empty());
  EXPECT_EQ(context.PollRequested, 1);
  EXPECT_EQ(context.TimerArmed, 1);
}

TEST(ReaderUnitCounter, NumbersReadersAsTheyComeAndCountsRemovalsBack) {
  Bench bench;
  PluggedReader first(bench);
  PluggedReader second(bench);
  ASSERT_EQ(first.Add(), STATUS_SUCCESS);
  ASSERT_EQ(second.Add(), STATUS_SUCCESS);
  EXPECT_EQ(first.Extension().VendorAttr.UnitNo, 0u);
  EXPECT_EQ(second.Extension().VendorAttr.UnitNo, 1u);
  EXPECT_EQ(ReaderUnitCounter, 2);

  first.Remove();
  EXPECT_TRUE(first.Port().Trace().empty()) << "a device never started goes without a word to the USB device";
  EXPECT_EQ(ReaderUnitCounter, 1);
  // The counter's value at that moment: the number of the reader still
  // present. A capability query that cannot be sent does not fail the device.
  PluggedReader third(bench);
  kernel::faults::FailNext("IoAllocateIrp", STATUS_INSUFFICIENT_RESOURCES);
  ASSERT_EQ(third.Add(), STATUS_SUCCESS);
  EXPECT_EQ(third.Context().IoCount, 1);
  EXPECT_EQ(third.Extension().VendorAttr.UnitNo, 1u);
  third.Remove();
  second.Remove();
  EXPECT_EQ(ReaderUnitCounter, 0);
}

// A platform call that fails is reported with its status, the device and
// everything it held gone, the stack as it was, and the port usable for the
// next try; the first steps also log the lack of memory.
TEST(AddDevice, ThatFailsAtAPlatformCallLeavesNothingBehind) {
  const struct {
    const char* routine;
    NTSTATUS status;
    bool loggedAgainstDriver;
  } rows[] = {
      {"IoCreateDevice", STATUS_INSUFFICIENT_RESOURCES, true},
      {"SmartcardInitialize", STATUS_UNSUCCESSFUL, true},
      {"IoRegisterDeviceInterface", STATUS_INVALID_DEVICE_REQUEST, false},
      {"IoAttachDeviceToDeviceStack", STATUS_UNSUCCESSFUL, false},  // gives no device; the status is the driver's
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.routine);
    Bench bench;
    PluggedReader r(bench);
    kernel::faults::FailNext(row.routine, row.status);
    EXPECT_EQ(r.Add(), row.status);
    EXPECT_EQ(bench.Driver()->DeviceObject, nullptr);
    EXPECT_EQ(kernel::pool::LiveBlocks(DriverPoolTag), 0u);
    EXPECT_EQ(kernel::pool::LiveBlocks(SmartcardLibraryPoolTag), 0u);
    EXPECT_EQ(ReaderUnitCounter, 0);
    EXPECT_EQ(LoggedCodes(bench.Driver()),
              row.loggedAgainstDriver ? std::vector<NTSTATUS>{EventCodeNoMemory} : std::vector<NTSTATUS>{});
    EXPECT_EQ(IoGetAttachedDevice(r.Port().PhysicalDeviceObject()), r.Port().PhysicalDeviceObject());
    ASSERT_EQ(r.Add(), STATUS_SUCCESS);
    EXPECT_EQ(r.Extension().VendorAttr.UnitNo, 0u);
  }
}

TEST(Start, ACardNotYetPoweredCountsAsNoCardUntilThePollSeesIt) {
  Bench bench;
  PluggedReader r(bench);
  r.Reader().InsertCard(DualProtocolCard());
  ASSERT_EQ(r.Add(), STATUS_SUCCESS);
  ASSERT_EQ(r.Start(), STATUS_SUCCESS);
  // The set-up sequence runs again in place of the ATR read.
  EXPECT_EQ(r.Commands(), (Commands{0xC0, 0x31, 0xD0, 0x41, 0xD0, 0x41}));
  EXPECT_EQ(r.Extension().ReaderCapabilities.CurrentState, SCARD_ABSENT);
  EXPECT_EQ(r.Extension().CardCapabilities.ATR.Length, 0);
  EXPECT_EQ(r.InterfaceEnabled(), std::optional<bool>(true));
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

// A card found powered at the start: its ATR is read and published, with
// no poll between the read and the copy.
TEST(Start, WithACardPublishesTheAtrNoPollComesBetweenTheReadAndItsCopy) {
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
  // Firmware version, status (which sets the fresh reader up), ATR; then the poll's status.
  EXPECT_EQ(r.Commands(), (Commands{0xC0, 0x31, 0xD0, 0x41, 0x35, 0x31})) << "the poll ran while the start stood still";
  const auto& atr = context.SmartcardExtension.CardCapabilities.ATR;
  EXPECT_EQ(Bytes(atr.Buffer, atr.Buffer + atr.Length), card->Atr());
  EXPECT_NE(context.SmartcardExtension.CardCapabilities.Protocol.Supported, 0u) << "the capabilities come from the ATR";
  EXPECT_EQ(context.SmartcardExtension.ReaderCapabilities.CurrentState, SCARD_PRESENT);
  EXPECT_EQ(context.SmartcardExtension.ReaderCapabilities.MaxIFSD, 254u);
  EXPECT_EQ(r.InterfaceEnabled(), std::optional<bool>(true));
  EXPECT_TRUE(LoggedCodes(r.Device()).empty());
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

// Both probes use the newer frames; the version decides the frames after
// them, and one older than 1.02 is logged, yet started.
TEST(Start, ProbesTheFirmwareUnder221ThenUnder201) {
  const struct {
    const char* firmware;
    int refusedProbes;
    USHORT version;
    UCHAR major;
    UCHAR minor;
    bool tooOld;
  } rows[] = {
      {"2.27", 0, 0x227, 2, 0x27, false},  // the first probe is answered
      {"2.27", 1, 0x227, 2, 0x27, false},  // the second one is
      {"1.50", 1, 0x150, 1, 0x50, false},  // by an older reader, whose frames follow
      {"2.27", 2, 0x201, 0, 0, false},     // nobody answers: the second probe's version stays
      {"1.01", 0, 0x101, 1, 0x01, true},   // too old, but it answers
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.firmware + std::string(" with refused probes: ") + std::to_string(row.refusedProbes));
    Bench bench;
    PluggedReader r(bench, ReaderWithFirmware(row.firmware));
    for (int probe = 0; probe < row.refusedProbes; ++probe) r.Reader().ScriptFault(emu::ReplyFault::ErrorReply());
    ASSERT_EQ(r.Add(), STATUS_SUCCESS);
    ASSERT_EQ(r.Start(), STATUS_SUCCESS);
    const std::vector<Bytes> frames = r.Frames();
    const std::size_t probes = row.refusedProbes == 0 ? 1 : 2;
    ASSERT_GT(frames.size(), probes);
    for (std::size_t i = 0; i < probes; ++i) {
      EXPECT_EQ(frames[i][0], emu::kNewCommandAddress);
      EXPECT_EQ(CommandOf(frames[i]), 0xC0);
    }
    EXPECT_EQ(CommandOf(frames[probes]), 0x31);
    EXPECT_EQ(frames[probes][0], row.version < 0x201 ? emu::kOldCommandType : emu::kNewCommandAddress);
    const DeviceContext& context = r.Context();
    EXPECT_EQ(context.FirmwareVersion, row.version);
    EXPECT_EQ(context.SmartcardExtension.VendorAttr.IfdVersion.VersionMajor, row.major);
    EXPECT_EQ(context.SmartcardExtension.VendorAttr.IfdVersion.VersionMinor, row.minor);
    EXPECT_EQ(LoggedCodes(r.Device()),
              row.tooOld ? std::vector<NTSTATUS>{EventCodeFirmwareTooOld} : std::vector<NTSTATUS>{});
    EXPECT_EQ(context.DeviceStarted, 1);
    EXPECT_EQ(r.InterfaceEnabled(), std::optional<bool>(true));
  }
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
  EXPECT_EQ(r.Context().InterfaceInformation->Pipes[1].MaximumTransferSize, 0x10400u);
  SIZE_T size = 0;
  ASSERT_TRUE(kernel::pool::IsLiveBlock(r.Context().ConfigurationDescriptor, nullptr, &size));
  EXPECT_EQ(size, 600u);
}

TEST(Start, NeedsOneBulkPipeEachWayFirst) {
  const struct {
    std::uint8_t endpoints;
    emu::EndpointOrder order;
    bool starts;
  } rows[] = {
      {2, emu::EndpointOrder::BulkInFirst, true},   {2, emu::EndpointOrder::BulkOutFirst, true},
      {3, emu::EndpointOrder::BulkInFirst, true},   {1, emu::EndpointOrder::BulkInFirst, false},
      {1, emu::EndpointOrder::BulkOutFirst, false}, {0, emu::EndpointOrder::BulkInFirst, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << int{row.endpoints} << " endpoints, order " << int(row.order));
    Bench bench;
    emu::ReaderConfig config = ReaderWithFirmware("2.27");
    config.endpointCount = row.endpoints;
    config.endpointOrder = row.order;
    PluggedReader r(bench, config);
    ASSERT_EQ(r.Add(), STATUS_SUCCESS);
    EXPECT_EQ(r.Start(), row.starts ? STATUS_SUCCESS : STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(r.Context().DeviceStarted, row.starts ? 1 : 0);
    EXPECT_EQ(r.InterfaceEnabled(), std::optional<bool>(row.starts));
    if (row.starts) {
      EXPECT_EQ(r.Context().InterfaceInformation->NumberOfPipes, row.endpoints);
      continue;
    }
    EXPECT_EQ(LoggedCodes(r.Device()), std::vector<NTSTATUS>{EventCodeStartFailed});
    EXPECT_TRUE(r.Port().BulkTrace().empty()) << "nothing is sent to a reader that was not started";
  }
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
  // A query-remove that cannot disable it fails, and the removal stays pending.
  kernel::faults::FailNext("IoSetDeviceInterfaceState", STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(r.Pnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(r.Context().RemovePending, 1);
}

// A filter device between the reader's device and the emulated port, for
// bus-driver answers the emulated port never gives. Attached before
// AddDevice; detached after the device above it has gone.
class LowerFilter {
 public:
  explicit LowerFilter(PDEVICE_OBJECT physicalDeviceObject) {
    driver_ = kernel::LoadDriver(u"\\Driver\\LowerFilter", Entry);
    IoCreateDevice(driver_, sizeof(LowerFilter*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_);
    *static_cast<LowerFilter**>(device_->DeviceExtension) = this;
    lower_ = IoAttachDeviceToDeviceStack(device_, physicalDeviceObject);
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  ~LowerFilter() {
    if (later_) later_->Join();
    IoDetachDevice(lower_);
    IoDeleteDevice(device_);
    kernel::UnloadDriver(driver_);
  }
  LowerFilter(const LowerFilter&) = delete;
  LowerFilter& operator=(const LowerFilter&) = delete;

  PDEVICE_OBJECT Device() const { return device_; }
  // Changes every URB that comes back from the port before the driver above sees it.
  std::function<void(URB&)> editUrb;
  // IRP_MN_START_DEVICE comes back from the port with this status.
  NTSTATUS startFailure = STATUS_SUCCESS;
  // IRP_MN_START_DEVICE is answered STATUS_PENDING and passed down 100 ms
  // later, as a bus driver may take its time.
  bool pendStart = false;

 private:
  static bool IsStart(const IO_STACK_LOCATION* location) {
    return location->MajorFunction == IRP_MJ_PNP && location->MinorFunction == IRP_MN_START_DEVICE;
  }
  static NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH& slot : driver->MajorFunction) slot = Dispatch;
    return STATUS_SUCCESS;
  }
  static NTSTATUS NTAPI OnTheWayBack(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    const LowerFilter& filter = *static_cast<const LowerFilter*>(context);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (location->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
        location->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB && filter.editUrb) {
      filter.editUrb(*static_cast<PURB>(location->Parameters.Others.Argument1));
    }
    if (IsStart(location) && filter.startFailure != STATUS_SUCCESS) irp->IoStatus.Status = filter.startFailure;
    return STATUS_SUCCESS;
  }
  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    LowerFilter& filter = **static_cast<LowerFilter**>(device->DeviceExtension);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, OnTheWayBack, &filter, TRUE, TRUE, TRUE);
    if (!IsStart(IoGetCurrentIrpStackLocation(irp)) || !filter.pendStart) return IofCallDriver(filter.lower_, irp);
    IoMarkIrpPending(irp);
    filter.later_ = std::make_unique<kernel::SystemThread>("bus start", [irp, lower = filter.lower_] {
      kernel::SleepFor(100 * kernel::kMillisecond);
      IofCallDriver(lower, irp);
    });
    return STATUS_PENDING;
  }

  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  PDEVICE_OBJECT lower_ = nullptr;
  std::unique_ptr<kernel::SystemThread> later_;
};

// A reader whose descriptors may come wrong, behind the filter; the device
// goes before the filter under it.
struct Filtered {
  explicit Filtered(Bench& bench)
      : reader(std::make_shared<readertest::DescriptorFaults>(ReaderWithFirmware("2.27"))),
        r(bench, reader),
        filter(r.Port().PhysicalDeviceObject()) {
    EXPECT_EQ(r.Add(), STATUS_SUCCESS);
    EXPECT_EQ(r.Context().AttachedDeviceObject, filter.Device());
  }
  ~Filtered() { r.Remove(); }
  std::shared_ptr<readertest::DescriptorFaults> reader;
  PluggedReader r;
  LowerFilter filter;
};

// The bus driver reports this length for the reads of descriptors of this type.
std::function<void(URB&)> ReportedLength(UCHAR type, ULONG length) {
  return [type, length](URB& urb) {
    if (urb.UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE &&
        urb.UrbControlDescriptorRequest.DescriptorType == type) {
      urb.UrbControlDescriptorRequest.TransferBufferLength = length;
    }
  };
}

// The bus driver changes the interface record it fills in at the selection.
std::function<void(URB&)> ReportedInterface(std::function<void(USBD_INTERFACE_INFORMATION&)> change) {
  return [change](URB& urb) {
    if (urb.UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION &&
        urb.UrbSelectConfiguration.ConfigurationDescriptor != nullptr) {
      change(urb.UrbSelectConfiguration.Interface);
    }
  };
}

// Lengths and counts from the bus driver and the device are checked where
// they enter. Each wrong answer fails the start, logged, with nothing kept
// from it and nothing sent to the reader; the next start, answered properly,
// reads only what it lacks.
TEST(BusAnswers, ThatDoNotAddUpFailTheStartAndKeepNothing) {
  using Fault = readertest::DescriptorFaults::Fault;
  const struct {
    const char* what;
    std::function<void(URB&)> edit;
    Fault fault;
    std::size_t keep;  // bytes of the configuration descriptor the device sends
    NTSTATUS status;
    std::size_t configurationReads;  // in the failed start, then in the next one
    std::size_t readsAgain;
  } rows[] = {
      {"a device descriptor of 10 bytes", ReportedLength(USB_DEVICE_DESCRIPTOR_TYPE, 10), Fault::None, 0,
       STATUS_DEVICE_DATA_ERROR, 0, 1},
      {"a configuration read claiming 600 bytes of a 521-byte buffer",
       ReportedLength(USB_CONFIGURATION_DESCRIPTOR_TYPE, 600), Fault::None, 0, STATUS_DEVICE_DATA_ERROR, 1, 1},
      {"an interface record that grew to 5 pipes",
       ReportedInterface([](USBD_INTERFACE_INFORMATION& i) { i.NumberOfPipes = 5; }), Fault::None, 0,
       STATUS_DEVICE_DATA_ERROR, 1, 0},
      {"an interface record of another length",
       ReportedInterface([](USBD_INTERFACE_INFORMATION& i) { i.Length = 0xFFFF; }), Fault::None, 0,
       STATUS_DEVICE_DATA_ERROR, 1, 0},
      {"a configuration read that stalls", nullptr, Fault::Stall, 0, STATUS_UNSUCCESSFUL, 1, 1},
      {"a configuration descriptor cut inside its header", nullptr, Fault::Truncate, 5, STATUS_DEVICE_DATA_ERROR, 1, 1},
      {"a configuration descriptor without its interface and endpoints", nullptr, Fault::Truncate, 12,
       STATUS_DEVICE_DATA_ERROR, 1, 1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Bench bench;
    Filtered f(bench);
    f.filter.editUrb = row.edit;
    f.reader->SetConfigurationFault(row.fault, row.keep);
    EXPECT_EQ(f.r.Start(), row.status);
    const DeviceContext& context = f.r.Context();
    EXPECT_EQ(context.DeviceStarted, 0);
    EXPECT_EQ(context.InterfaceInformation, nullptr);
    EXPECT_EQ(f.r.DescriptorReads(USB_CONFIGURATION_DESCRIPTOR_TYPE).size(), row.configurationReads);
    EXPECT_TRUE(f.r.Port().BulkTrace().empty());
    EXPECT_EQ(LoggedCodes(f.r.Device()), std::vector<NTSTATUS>{EventCodeStartFailed});

    f.filter.editUrb = nullptr;
    f.reader->SetConfigurationFault(Fault::None);
    f.r.ClearTrace();
    EXPECT_EQ(f.r.Start(), STATUS_SUCCESS);
    EXPECT_EQ(f.r.DescriptorReads(USB_DEVICE_DESCRIPTOR_TYPE).size(), row.configurationReads == 0 ? 1u : 0u);
    EXPECT_EQ(f.r.DescriptorReads(USB_CONFIGURATION_DESCRIPTOR_TYPE).size(), row.readsAgain);
  }
}

TEST(BusAnswers, AStartTheLowerDriversFailIsNotCarriedOn) {
  Bench bench;
  Filtered f(bench);
  f.filter.startFailure = STATUS_DEVICE_POWER_FAILURE;
  EXPECT_EQ(f.r.Start(), STATUS_DEVICE_POWER_FAILURE);
  EXPECT_TRUE(f.r.Port().Trace().empty());
  EXPECT_EQ(f.r.Context().DeviceStarted, 0);
  EXPECT_EQ(f.r.InterfaceEnabled(), std::optional<bool>(false));
}

TEST(BusAnswers, AStartTheBusCompletesLaterIsWaitedFor) {
  Bench bench;
  Filtered f(bench);
  f.filter.pendStart = true;
  EXPECT_EQ(f.r.Start(), STATUS_SUCCESS);
  EXPECT_EQ(f.r.Context().DeviceStarted, 1);
  EXPECT_EQ(f.r.InterfaceEnabled(), std::optional<bool>(true));
}

}  // namespace
