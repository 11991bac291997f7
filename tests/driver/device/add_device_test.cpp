// AddDevice: what a new device holds, unit numbers, and creation that fails
// at each step without leaving anything behind.
#include <gtest/gtest.h>

#include <cstring>

#include "driver/card/reader_functions.h"
#include "driver/reader/vendor_ioctl.h"
#include "driver/tracking/card_tracking.h"
#include "driver/device/reader_unit_counter.h"
#include "driver/models/model.h"
#include "platform/smclib/event_log.h"
#include "platform/smclib/library.h"
#include "tests/fixture/plugged_reader.h"

namespace {

using readertest::Bench;
using readertest::PluggedReader;

std::string AttributeText(const SCARD_ATTR_STRING& attribute) {
  return std::string(reinterpret_cast<const char*>(attribute.Buffer), attribute.Length);
}

bool Logged(NTSTATUS code, PVOID object) {
  for (const smclib::EventLogEntry& entry : smclib::EventLog()) {
    if (entry.code == code && entry.object == object) return true;
  }
  return false;
}

TEST(AddDevice, LeavesARegisteredDisabledReaderWithItsIdentityAndThePollArmed) {
  Bench bench;
  PluggedReader r(bench);
  DEVICE_CAPABILITIES answer{};
  answer.DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
  answer.DeviceWake = PowerDeviceD2;
  r.Port().SetCapabilities(answer);
  ASSERT_EQ(r.Add(), STATUS_SUCCESS);

  PDEVICE_OBJECT device = r.Device();
  DeviceContext& context = r.Context();
  SMARTCARD_EXTENSION& extension = r.Extension();
  EXPECT_EQ(device->DeviceType, FILE_DEVICE_SMARTCARD);
  EXPECT_EQ(device->Flags & (DO_DIRECT_IO | DO_POWER_PAGABLE | DO_DEVICE_INITIALIZING | DO_EXCLUSIVE),
            DO_DIRECT_IO | DO_POWER_PAGABLE | DO_EXCLUSIVE);
  EXPECT_EQ(context.PhysicalDeviceObject, r.Port().PhysicalDeviceObject());
  EXPECT_EQ(context.AttachedDeviceObject, r.Port().PhysicalDeviceObject());
  EXPECT_EQ(context.DeviceCapabilities.DeviceState[PowerSystemSleeping3], PowerDeviceD2);
  EXPECT_EQ(context.DeviceCapabilities.DeviceWake, PowerDeviceD2);
  EXPECT_EQ(context.IoCount, 1);
  EXPECT_EQ(KeReadStateEvent(&context.IoIdleEvent), 0);
  EXPECT_EQ(KeReadStateEvent(&context.IoDrainedEvent), 0);
  EXPECT_EQ(context.MaxTransferSize, 0x10400u);
  EXPECT_EQ(context.PollRequested, 1);
  EXPECT_EQ(context.TimerArmed, 1);
  EXPECT_EQ(context.PollStopping, 0);
  EXPECT_EQ(context.DeviceStarted, 0);

  for (const void* block :
       {static_cast<const void*>(context.ExchangeBuffer), static_cast<const void*>(context.BlockBuffer),
        static_cast<const void*>(context.AtrBuffer), static_cast<const void*>(context.PollWorkItem),
        static_cast<const void*>(extension.ReaderExtension)}) {
    ULONG tag = 0;
    EXPECT_TRUE(kernel::pool::IsLiveBlock(block, &tag));
    EXPECT_EQ(tag, DriverPoolTag);
  }
  EXPECT_EQ(extension.ReaderExtension->ReaderPowerState, ReaderPowered);

  EXPECT_EQ(AttributeText(extension.VendorAttr.VendorName), std::string("ZUNTA", 6));
  EXPECT_EQ(AttributeText(extension.VendorAttr.IfdType), std::string(ModelIdentity.IfdType, 10));
  EXPECT_EQ(extension.VendorAttr.UnitNo, 0u);

  const SCARD_READER_CAPABILITIES& capabilities = extension.ReaderCapabilities;
  EXPECT_EQ(capabilities.SupportedProtocols, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
  ASSERT_EQ(capabilities.CLKFrequenciesSupported.Entries, 2);
  EXPECT_EQ(capabilities.CLKFrequenciesSupported.List[1], capabilities.CLKFrequency.Max);
  EXPECT_EQ(capabilities.MaxIFSD, 0u) << "set by the start";
  EXPECT_EQ(capabilities.CurrentState, SCARD_UNKNOWN);

  EXPECT_EQ(extension.Version, SMCLIB_VERSION);
  ASSERT_NE(extension.OsData, nullptr);
  EXPECT_EQ(extension.OsData->DeviceObject, device);
  EXPECT_EQ(extension.SmartcardRequest.BufferSize, 0x10400u);
  EXPECT_EQ(extension.SmartcardReply.BufferSize, 0x10400u);
  EXPECT_EQ(extension.ReaderFunction[RDF_CARD_POWER], CardPower);
  EXPECT_EQ(extension.ReaderFunction[RDF_TRANSMIT], CardTransmit);
  EXPECT_EQ(extension.ReaderFunction[RDF_CARD_TRACKING], CardTracking);
  EXPECT_EQ(extension.ReaderFunction[RDF_SET_PROTOCOL], CardSetProtocol);
  EXPECT_EQ(extension.ReaderFunction[RDF_IOCTL_VENDOR], VendorIoctl);
  EXPECT_EQ(extension.ReaderFunction[RDF_CARD_EJECT], CardEject);
  EXPECT_EQ(r.InterfaceEnabled(), std::optional<bool>(false));
  EXPECT_NE(context.SymbolicLinkName.Buffer, nullptr);
  EXPECT_TRUE(r.Port().Trace().empty()) << "the USB device is left alone until the start";
}

TEST(AddDevice, PollsBeforeTheStartAndIsRefusedEveryTime) {
  Bench bench;
  PluggedReader r(bench);
  ASSERT_EQ(r.Add(), STATUS_SUCCESS);
  Bench::Wait(1600 * readertest::Ms);
  EXPECT_TRUE(r.Port().BulkTrace().empty());
  EXPECT_EQ(r.Context().PollRequested, 1) << "no status read has succeeded";
  EXPECT_EQ(r.Context().TimerArmed, 1) << "the poll tries again";
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
  EXPECT_EQ(ReaderUnitCounter, 1);
  // The counter's value at that moment: the number of the reader still present.
  PluggedReader third(bench);
  ASSERT_EQ(third.Add(), STATUS_SUCCESS);
  EXPECT_EQ(third.Extension().VendorAttr.UnitNo, 1u);
  third.Remove();
  second.Remove();
  EXPECT_EQ(ReaderUnitCounter, 0);
}

TEST(AddDevice, ACapabilityQueryThatCannotBeSentDoesNotFailTheDevice) {
  Bench bench;
  PluggedReader r(bench);
  kernel::faults::FailNext("IoAllocateIrp", STATUS_INSUFFICIENT_RESOURCES);
  ASSERT_EQ(r.Add(), STATUS_SUCCESS);
  EXPECT_EQ(r.Context().DeviceCapabilities.DeviceWake, PowerDeviceUnspecified);
  EXPECT_EQ(r.Context().IoCount, 1);
}

struct PlannedFailure {
  const char* routine;
  NTSTATUS status;
  NTSTATUS returned;
  bool loggedAgainstDriver;
};

class AddDeviceFailure : public testing::TestWithParam<PlannedFailure> {};

TEST_P(AddDeviceFailure, IsReportedAndLeavesNothingBehind) {
  const PlannedFailure& failure = GetParam();
  Bench bench;
  PluggedReader r(bench);
  kernel::faults::FailNext(failure.routine, failure.status);
  EXPECT_EQ(r.Add(), failure.returned);
  EXPECT_EQ(bench.Driver()->DeviceObject, nullptr);
  EXPECT_EQ(kernel::pool::LiveBlocks(DriverPoolTag), 0u);
  EXPECT_EQ(kernel::pool::LiveBlocks(SmartcardLibraryPoolTag), 0u);
  EXPECT_EQ(ReaderUnitCounter, 0);
  EXPECT_EQ(Logged(EventCodeNoMemory, bench.Driver()), failure.loggedAgainstDriver);
  EXPECT_EQ(IoGetAttachedDevice(r.Port().PhysicalDeviceObject()), r.Port().PhysicalDeviceObject());

  // The port is usable for the next try.
  ASSERT_EQ(r.Add(), STATUS_SUCCESS);
  EXPECT_EQ(r.Extension().VendorAttr.UnitNo, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    EachPlatformCall, AddDeviceFailure,
    testing::Values(PlannedFailure{"IoCreateDevice", STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES,
                                   true},
                    PlannedFailure{"SmartcardInitialize", STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL, true},
                    PlannedFailure{"IoRegisterDeviceInterface", STATUS_INVALID_DEVICE_REQUEST,
                                   STATUS_INVALID_DEVICE_REQUEST, false},
                    PlannedFailure{"IoAttachDeviceToDeviceStack", STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL, false}));

}  // namespace
