// The smart-card library as a reader driver leans on it, through a device
// of the test's own: a bare SMARTCARD_EXTENSION the library initialised,
// SmartcardDeviceControl as its device-control dispatch, and reader
// functions that record what the library handed them. What reaches them and
// what the gate keeps away, one tracking request at a time, and the card
// capabilities from annotated ATRs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/kernel/io_user.h"
#include "platform/kernel/platform.h"
#include "platform/smclib/library.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr ULONG kBufferSize = 0x10400;
constexpr ULONG T0 = SCARD_PROTOCOL_T0, T1 = SCARD_PROTOCOL_T1;

Bytes Ulong(ULONG v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 24)};
}

// What the last reader function call saw, and what the next one answers.
struct Script {
  int calls = 0;
  ULONG minor = 0, replyBufferLength = 0;
  Bytes request;
  Bytes reply;
  ULONG reportedLength = 0;  // the count the function reports; 0: what it copied
  NTSTATUS status = STATUS_SUCCESS;
};
Script g_script;

// Records the call and writes the scripted reply (never past ReplyBufferLength).
NTSTATUS ReaderFunction(PSMARTCARD_EXTENSION e) {
  Script& s = g_script;
  s.calls++;
  s.minor = e->MinorIoControlCode;
  s.request.assign(e->IoRequest.RequestBuffer, e->IoRequest.RequestBuffer + e->IoRequest.RequestBufferLength);
  s.replyBufferLength = e->IoRequest.ReplyBufferLength;
  const ULONG fits = std::min(static_cast<ULONG>(s.reply.size()), e->IoRequest.ReplyBufferLength);
  if (fits != 0) std::memcpy(e->IoRequest.ReplyBuffer, s.reply.data(), fits);
  *e->IoRequest.Information = s.reportedLength != 0 ? s.reportedLength : fits;
  // A vendor function reports through the request itself.
  e->OsData->CurrentIrp->IoStatus.Information = *e->IoRequest.Information;
  e->OsData->CurrentIrp->IoStatus.Status = s.status;
  return s.status;
}

struct LibraryDevice {
  kernel::Platform platform_{kernel::ClockMode::Simulated};
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  LibraryDevice() {
    g_script = Script{};
    driver_ = kernel::LoadDriver(u"\\Driver\\SmartcardLibraryTest", [](PDRIVER_OBJECT driver, PUNICODE_STRING) {
      driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT device, PIRP irp) {
        return SmartcardDeviceControl(static_cast<PSMARTCARD_EXTENSION>(device->DeviceExtension), irp);
      };
      return STATUS_SUCCESS;
    });
    IoCreateDevice(driver_, sizeof(SMARTCARD_EXTENSION), nullptr, FILE_DEVICE_SMARTCARD, 0, FALSE, &device_);
    SMARTCARD_EXTENSION& e = Extension();
    e.Version = SMCLIB_VERSION;
    e.SmartcardRequest.BufferSize = e.SmartcardReply.BufferSize = kBufferSize;
    EXPECT_EQ(SmartcardInitialize(&e), STATUS_SUCCESS);
    e.OsData->DeviceObject = device_;
    for (ULONG slot : {RDF_CARD_POWER, RDF_TRANSMIT, RDF_SET_PROTOCOL, RDF_IOCTL_VENDOR})
      e.ReaderFunction[slot] = ReaderFunction;
    e.ReaderFunction[RDF_CARD_TRACKING] = [](PSMARTCARD_EXTENSION) { return STATUS_PENDING; };  // it waits
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  ~LibraryDevice() {
    if (Extension().OsData != nullptr) SmartcardReleaseRemoveLockAndWait(&Extension());
    SmartcardExit(&Extension());
    EXPECT_EQ(kernel::irps::InProgress(), 0u) << "a request was left uncompleted";
    IoDeleteDevice(device_);
    kernel::UnloadDriver(driver_);
    EXPECT_EQ(kernel::pool::LiveBlocks(PoolTag("SCLB")), 0u) << "a block of the library outlived its device";
  }
  SMARTCARD_EXTENSION& Extension() const { return *static_cast<PSMARTCARD_EXTENSION>(device_->DeviceExtension); }
  std::unique_ptr<kernel::UserRequest> Start(ULONG code, const Bytes& input = {}, ULONG outputLength = 0) {
    return kernel::StartDeviceIoControl(nullptr, code, input, outputLength, false, device_);
  }
  kernel::IoResult Control(ULONG code, const Bytes& input = {}, ULONG outputLength = 0) {
    return Start(code, input, outputLength)->Wait();
  }
};

// A transmit request: SCARD_IO_REQUEST {protocol, 8} then the APDU.
Bytes Transmit(ULONG protocol, const Bytes& apdu) {
  Bytes request = Ulong(protocol);
  for (std::uint8_t b : Ulong(8)) request.push_back(b);
  request.insert(request.end(), apdu.begin(), apdu.end());
  return request;
}

constexpr ULONG kVendorGetVersion = 0x312014;  // function 2053 of the smart-card type

TEST(DeviceControlTest, TheGateLetsOnlyWellFormedTimelyRequestsReachTheReader) {
  const struct {
    const char* what;
    ULONG code;
    Bytes input;
    ULONG outputLength;
    ULONG state;  // the card is in T=1 whenever it is SCARD_SPECIFIC
    NTSTATUS status;
    ULONG minor;  // what the reader function sees; ~0u: it is never called
  } rows[] = {
      // clang-format off
      {"cold reset", IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 33, SCARD_PRESENT, 0, SCARD_COLD_RESET},
      {"power operation of 3 bytes", IOCTL_SMARTCARD_POWER, {1, 0, 0}, 33, SCARD_PRESENT, STATUS_INVALID_PARAMETER,
       ~0u},
      {"set protocol", IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(T0 | T1), 4, SCARD_NEGOTIABLE, 0, T0 | T1},
      {"set protocol, 3-byte answer room", IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(T1), 3, SCARD_NEGOTIABLE,
       STATUS_BUFFER_TOO_SMALL, ~0u},
      {"transmit in the selected protocol", IOCTL_SMARTCARD_TRANSMIT, Transmit(T1, {0, 0xB0, 0, 0, 0}), 258,
       SCARD_SPECIFIC, 0, 0},
      // (A transmit before a protocol or in another one is the driver's card scripts.)
      {"transmit shorter than its header", IOCTL_SMARTCARD_TRANSMIT, Bytes(7, 0), 258, SCARD_SPECIFIC,
       STATUS_INVALID_PARAMETER, ~0u},
      {"transmit with no room for the header back", IOCTL_SMARTCARD_TRANSMIT, Transmit(T1, {}), 7, SCARD_SPECIFIC,
       STATUS_BUFFER_TOO_SMALL, ~0u},
      {"transmit past the library's buffer", IOCTL_SMARTCARD_TRANSMIT, Transmit(T1, Bytes(kBufferSize - 7, 0)), 258,
       SCARD_SPECIFIC, STATUS_INVALID_PARAMETER, ~0u},
      {"vendor code", kVendorGetVersion, {5}, 8, SCARD_ABSENT, 0, 0},
      // clang-format on
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    LibraryDevice device;
    device.Extension().ReaderCapabilities.CurrentState = row.state;
    device.Extension().CardCapabilities.Protocol.Selected = T1;
    g_script.reply = {0x3B, 0x02, 0x14, 0x50};
    const kernel::IoResult result = device.Control(row.code, row.input, row.outputLength);
    EXPECT_EQ(result.status, row.status);
    EXPECT_EQ(g_script.calls, row.minor == ~0u ? 0 : 1);
    if (row.minor == ~0u) {
      EXPECT_EQ(result.information, 0u);
      continue;
    }
    EXPECT_EQ(g_script.minor, row.minor);
    EXPECT_EQ(g_script.request, row.input) << "the library's copy of the caller's bytes";
    EXPECT_EQ(g_script.replyBufferLength, row.outputLength);
    const ULONG copied = std::min<ULONG>(4, row.outputLength);
    EXPECT_EQ(result.output, Bytes(g_script.reply.begin(), g_script.reply.begin() + copied));
    EXPECT_EQ(device.Extension().OsData->CurrentIrp, nullptr) << "current only while it is served";
  }
}

TEST(DeviceControlTest, RepliesAreBoundedByTheCallersBufferAndFailuresCarryNone) {
  LibraryDevice device;
  device.Extension().ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
  device.Extension().CardCapabilities.Protocol.Selected = T1;
  g_script.reply = Bytes(40, 0x61);
  g_script.reportedLength = 4000;  // a reader function that counts wrong
  EXPECT_EQ(device.Control(IOCTL_SMARTCARD_TRANSMIT, Transmit(T1, {0, 0xB0, 0, 0, 0}), 20).output, Bytes(20, 0x61));
  g_script.status = STATUS_IO_TIMEOUT;
  const kernel::IoResult failed = device.Control(kVendorGetVersion, {}, 20);
  EXPECT_EQ(failed.status, STATUS_IO_TIMEOUT);
  EXPECT_EQ(failed.information, 0u) << "a failure carries no reply";
}

// One tracking request waits at a time, and SmartcardExit cancels one left
// waiting. (Answers from the state, card changes and the driver's cancel
// routine are the driver's card tracking tests.)
TEST(DeviceControlTest, OneTrackingRequestWaitsAndExitCancelsIt) {
  LibraryDevice device;
  SMARTCARD_EXTENSION& e = device.Extension();
  e.ReaderCapabilities.CurrentState = SCARD_NEGOTIABLE;
  auto absent = device.Start(IOCTL_SMARTCARD_IS_ABSENT);
  EXPECT_NE(e.OsData->NotificationIrp, nullptr);
  EXPECT_EQ(device.Control(IOCTL_SMARTCARD_IS_PRESENT).status, STATUS_DEVICE_BUSY) << "even when the state would answer";
  SmartcardReleaseRemoveLockAndWait(&e);
  SmartcardExit(&e);
  EXPECT_EQ(absent->Wait().status, STATUS_CANCELLED);
}

NTSTATUS Update(SMARTCARD_EXTENSION& e, const Bytes& atr, ULONG state = SCARD_PRESENT) {
  std::memset(e.CardCapabilities.ATR.Buffer, 0, sizeof e.CardCapabilities.ATR.Buffer);
  std::copy(atr.begin(), atr.end(), e.CardCapabilities.ATR.Buffer);
  e.CardCapabilities.ATR.Length = static_cast<UCHAR>(atr.size());
  e.ReaderCapabilities.CurrentState = state;
  return SmartcardUpdateCardCapabilities(&e);
}

TEST(CardTest, CapabilitiesAndStateComeFromTheAtr) {
  const struct {
    Bytes atr;
    ULONG supported, state, selected;
    ULONG f, fMaxClock, d, n, wi, ifsc, cwi, bwi, historical;
  } rows[] = {
      // clang-format off
      // TS direct, T0 00: T=0 only, every default (Fi 372 at 5 MHz, Di 1, WI 10, IFSC 32, CWI 13, BWI 4).
      {{0x3B, 0x00}, T0, SCARD_NEGOTIABLE, 0, 372, 5000000, 1, 0, 10, 32, 13, 4, 0},
      // T0 F2: TA1 96 (Fi 512 at 5 MHz, Di 32), TB1 25, TC1 02 (N 2), TD1 40 (TC2, T=0); TC2 14 (WI 20);
      // two historical bytes, no TCK for T=0 only.
      {{0x3B, 0xF2, 0x96, 0x25, 0x02, 0x40, 0x14, 0x14, 0x50},
       T0, SCARD_NEGOTIABLE, 0, 512, 5000000, 32, 2, 20, 32, 13, 4, 2},
      // T0 E9: TB1 00, TC1 00, TD1 81 (T=1); TD2 31 (TA3, TB3, T=1): IFSC FE, BWI 4 CWI 5; nine historical; TCK A7.
      {{0x3B, 0xE9, 0x00, 0x00, 0x81, 0x31, 0xFE, 0x45, 0x4A, 0x43, 0x4F, 0x50, 0x34, 0x31, 0x56, 0x32, 0x32, 0xA7},
       T1, SCARD_NEGOTIABLE, 0, 372, 5000000, 1, 0, 10, 254, 5, 4, 9},
      // TD1 80 (T=0); TD2 01 (T=1): both offered; TCK 01.
      {{0x3B, 0x80, 0x80, 0x01, 0x01}, T0 | T1, SCARD_NEGOTIABLE, 0, 372, 5000000, 1, 0, 10, 32, 13, 4, 0},
      // TD1 80; TD2 1F (TA3, T=15): TA3 07 is a global byte, no IFSC; TCK 18.
      {{0x3B, 0x80, 0x80, 0x1F, 0x07, 0x18}, T0, SCARD_NEGOTIABLE, 0, 372, 5000000, 1, 0, 10, 32, 13, 4, 0},
      // TD1 81; TD2 B1 (TA3 FE, TB3 45, TD3 11): TA4 20 is the second T=1 TA and no IFSC; TCK 3A.
      {{0x3B, 0x80, 0x81, 0xB1, 0xFE, 0x45, 0x11, 0x20, 0x3A},
       T1, SCARD_NEGOTIABLE, 0, 372, 5000000, 1, 0, 10, 254, 5, 4, 0},
      // T0 90: TA1 11, TD1 11 (TA2, T=1); TA2 01: specific mode in T=1; TCK 91.
      {{0x3B, 0x90, 0x11, 0x11, 0x01, 0x91}, T1, SCARD_SPECIFIC, T1, 372, 5000000, 1, 0, 10, 32, 13, 4, 0},
      // clang-format on
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.atr));
    kernel::Platform platform{kernel::ClockMode::Simulated};
    SMARTCARD_EXTENSION e{};
    ASSERT_EQ(Update(e, row.atr), STATUS_SUCCESS);
    const SCARD_CARD_CAPABILITIES& card = e.CardCapabilities;
    // The clock rate and bit rate factors are read through the library's conversion tables.
    // clang-format off
    const std::vector<ULONG> seen = {card.Protocol.Supported, e.ReaderCapabilities.CurrentState, card.Protocol.Selected,
        card.ClockRateConversion[card.Fl].F, card.ClockRateConversion[card.Fl].fs,
        card.BitRateAdjustment[card.Dl].DNumerator / card.BitRateAdjustment[card.Dl].DDivisor,
        card.N, card.T0.WI, card.T1.IFSC, card.T1.CWI, card.T1.BWI, card.HistoricalChars.Length};
    // clang-format on
    EXPECT_EQ(seen, (std::vector<ULONG>{row.supported, row.state, row.selected, row.f, row.fMaxClock, row.d, row.n,
                                        row.wi, row.ifsc, row.cwi, row.bwi, row.historical}));
  }
}

TEST(CardTest, MalformedAtrsAreRefusedAndChangeNothing) {
  kernel::Platform platform{kernel::ClockMode::Simulated};
  const Bytes bad[] = {
      {},                              // empty
      {0x3A, 0x00},                    // unknown TS
      {0x3B, 0x02, 0x14},              // historical bytes run past the end
      {0x3B, 0x80, 0x21, 0xFE},        // announced TB3 missing
      {0x3B, 0x80, 0x01, 0x82},        // TCK wrong
      {0x3B, 0x90, 0x11, 0x10, 0x02},  // TA2 names T=2
  };
  for (const Bytes& atr : bad) {
    SMARTCARD_EXTENSION e{};
    ASSERT_EQ(Update(e, {0x3B, 0x02, 0x14, 0x50}), STATUS_SUCCESS);
    EXPECT_EQ(Update(e, atr), STATUS_UNRECOGNIZED_MEDIA) << testing::PrintToString(atr);
    EXPECT_EQ(e.ReaderCapabilities.CurrentState, SCARD_PRESENT);
    EXPECT_EQ(e.CardCapabilities.HistoricalChars.Length, 2u) << "what the good ATR left stays";
  }
  // A card reported gone meanwhile is not brought back.
  SMARTCARD_EXTENSION e{};
  EXPECT_EQ(Update(e, {0x3B, 0x00}, SCARD_ABSENT), STATUS_SUCCESS);
  EXPECT_EQ(e.ReaderCapabilities.CurrentState, SCARD_ABSENT);
}

}  // namespace
