// SmartcardDeviceControl in front of the reader functions: what reaches them
// and how, the checks that keep malformed or untimely requests away, the
// pairing of tracking requests, and removal.
#include "tests/platform/smclib/library_device.h"

namespace smclibtest {
namespace {

// A transmit request: SCARD_IO_REQUEST {protocol, 8} then the APDU.
Bytes Transmit(ULONG protocol, const Bytes& apdu) {
  Bytes request = Ulong(protocol);
  for (std::uint8_t b : Ulong(8)) request.push_back(b);
  request.insert(request.end(), apdu.begin(), apdu.end());
  return request;
}

constexpr ULONG kVendorGetVersion = 0x312014;  // function 2053 of the smart-card type

TEST(DeviceControlTest, TheGateLetsOnlyWellFormedTimelyRequestsReachTheReader) {
  constexpr ULONG T0 = SCARD_PROTOCOL_T0, T1 = SCARD_PROTOCOL_T1;
  const struct {
    const char* what;
    ULONG code;
    Bytes input;
    ULONG outputLength;
    ULONG state;  // the card is in T=1 whenever it is SCARD_SPECIFIC
    NTSTATUS status;
    ULONG minor;  // what the reader function sees; ~0u: it is never called
  } rows[] = {
      {"cold reset", IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 33, SCARD_PRESENT, 0, SCARD_COLD_RESET},
      {"power operation of 3 bytes",
       IOCTL_SMARTCARD_POWER,
       {1, 0, 0},
       33,
       SCARD_PRESENT,
       STATUS_INVALID_PARAMETER,
       ~0u},
      {"set protocol", IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(T0 | T1), 4, SCARD_NEGOTIABLE, 0, T0 | T1},
      {"set protocol, 3-byte answer room", IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(T1), 3, SCARD_NEGOTIABLE,
       STATUS_BUFFER_TOO_SMALL, ~0u},
      {"transmit in the selected protocol", IOCTL_SMARTCARD_TRANSMIT, Transmit(T1, {0, 0xB0, 0, 0, 0}), 258,
       SCARD_SPECIFIC, 0, 0},
      {"transmit in the other protocol", IOCTL_SMARTCARD_TRANSMIT, Transmit(T0, {0, 0xB0, 0, 0, 0}), 258,
       SCARD_SPECIFIC, STATUS_INVALID_DEVICE_STATE, ~0u},
      {"transmit before a protocol was chosen", IOCTL_SMARTCARD_TRANSMIT, Transmit(T1, {}), 258, SCARD_NEGOTIABLE,
       STATUS_INVALID_DEVICE_STATE, ~0u},
      {"transmit with no card", IOCTL_SMARTCARD_TRANSMIT, Transmit(T1, {}), 258, SCARD_ABSENT, STATUS_NO_MEDIA, ~0u},
      {"transmit shorter than its header", IOCTL_SMARTCARD_TRANSMIT, Bytes(7, 0), 258, SCARD_SPECIFIC,
       STATUS_INVALID_PARAMETER, ~0u},
      {"transmit with no room for the header back", IOCTL_SMARTCARD_TRANSMIT, Transmit(T1, {}), 7, SCARD_SPECIFIC,
       STATUS_BUFFER_TOO_SMALL, ~0u},
      {"transmit past the library's buffer", IOCTL_SMARTCARD_TRANSMIT, Transmit(T1, Bytes(kBufferSize - 7, 0)), 258,
       SCARD_SPECIFIC, STATUS_INVALID_PARAMETER, ~0u},
      {"state in 3 bytes", IOCTL_SMARTCARD_GET_STATE, {}, 3, SCARD_PRESENT, STATUS_BUFFER_TOO_SMALL, ~0u},
      {"eject with no reader function", IOCTL_SMARTCARD_EJECT, {}, 0, SCARD_PRESENT, STATUS_NOT_SUPPORTED, ~0u},
      {"function 8: no request", SCARD_CTL_CODE(8), Ulong(1), 4, SCARD_PRESENT, STATUS_INVALID_DEVICE_REQUEST, ~0u},
      {"another device type",
       CTL_CODE(FILE_DEVICE_UNKNOWN, 2049, METHOD_BUFFERED, 0),
       {},
       4,
       SCARD_PRESENT,
       STATUS_INVALID_DEVICE_REQUEST,
       ~0u},
      {"vendor code", kVendorGetVersion, {5}, 8, SCARD_ABSENT, 0, 0},
      {"attributes cannot be written", IOCTL_SMARTCARD_SET_ATTRIBUTE, Ulong(SCARD_ATTR_VENDOR_NAME), 0, SCARD_PRESENT,
       STATUS_NOT_SUPPORTED, ~0u},
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
    EXPECT_EQ(g_script.major, row.code);
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
  device.Extension().CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
  g_script.reply = Bytes(40, 0x61);
  g_script.reportedLength = 4000;  // a reader function that counts wrong
  kernel::IoResult result =
      device.Control(IOCTL_SMARTCARD_TRANSMIT, Transmit(SCARD_PROTOCOL_T1, {0, 0xB0, 0, 0, 0}), 20);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.output, Bytes(20, 0x61));
  device.Control(IOCTL_SMARTCARD_TRANSMIT, Transmit(SCARD_PROTOCOL_T1, {}), kBufferSize + 100);
  EXPECT_EQ(g_script.replyBufferLength, kBufferSize) << "the library's buffer, not the caller's";

  g_script.status = STATUS_IO_TIMEOUT;
  for (ULONG code : {ULONG{IOCTL_SMARTCARD_TRANSMIT}, kVendorGetVersion}) {
    result = device.Control(code, Transmit(SCARD_PROTOCOL_T1, {}), 20);
    EXPECT_EQ(result.status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(result.information, 0u);
  }
  EXPECT_EQ(device.Control(IOCTL_SMARTCARD_GET_LAST_ERROR, {}, 4).output, Ulong(static_cast<ULONG>(STATUS_IO_TIMEOUT)));
}

// IS_PRESENT / IS_ABSENT: answered from the state, or left waiting for the
// tracking function; one waits at a time, a card change or a cancel ends it,
// and SmartcardExit cancels one left waiting.
TEST(DeviceControlTest, TrackingRequestsPairAndEndOnce) {
  LibraryDevice device;
  SMARTCARD_EXTENSION& e = device.Extension();
  e.ReaderCapabilities.CurrentState = SCARD_NEGOTIABLE;
  EXPECT_EQ(device.Control(IOCTL_SMARTCARD_IS_PRESENT).status, STATUS_SUCCESS) << "a card is there";
  EXPECT_EQ(e.OsData->NotificationIrp, nullptr);

  auto absent = device.Start(IOCTL_SMARTCARD_IS_ABSENT);
  EXPECT_NE(e.OsData->NotificationIrp, nullptr);
  for (ULONG code : {IOCTL_SMARTCARD_IS_ABSENT, IOCTL_SMARTCARD_IS_PRESENT}) {
    EXPECT_EQ(device.Control(code).status, STATUS_DEVICE_BUSY) << "even when the state would answer";
  }
  EXPECT_EQ(device.Control(IOCTL_SMARTCARD_GET_STATE, {}, 4).output, Ulong(SCARD_NEGOTIABLE)) << "others are served";
  ReportCard(&e, SCARD_ABSENT);
  EXPECT_EQ(absent->Wait().status, STATUS_SUCCESS);

  auto present = device.Start(IOCTL_SMARTCARD_IS_PRESENT);
  EXPECT_TRUE(present->Cancel());
  EXPECT_EQ(present->Wait().status, STATUS_CANCELLED);
  EXPECT_EQ(e.OsData->NotificationIrp, nullptr) << "the slot is free again";

  auto left = device.Start(IOCTL_SMARTCARD_IS_PRESENT);
  SmartcardReleaseRemoveLockAndWait(&e);
  SmartcardExit(&e);
  EXPECT_EQ(left->Wait().status, STATUS_CANCELLED);
}

// Removal waits for every holder of the remove lock and lets no new one in.
TEST(DeviceControlTest, RemovalWaitsForTheHoldersOfTheRemoveLock) {
  LibraryDevice device;
  SMARTCARD_EXTENSION& e = device.Extension();
  ASSERT_EQ(SmartcardAcquireRemoveLock(&e), STATUS_SUCCESS);
  NTSTATUS lateAcquire = STATUS_SUCCESS;
  kernel::SystemThread holder("holder", [&] {
    kernel::SleepFor(kernel::kSecond);
    lateAcquire = SmartcardAcquireRemoveLock(&e);
    SmartcardReleaseRemoveLock(&e);
  });
  const LONGLONG start = kernel::Now();
  SmartcardReleaseRemoveLockAndWait(&e);
  EXPECT_EQ(kernel::Now() - start, kernel::kSecond) << "removal returned while a holder still held the lock";
  EXPECT_EQ(lateAcquire, STATUS_DELETE_PENDING);
  holder.Join();
  EXPECT_EQ(device.Control(IOCTL_SMARTCARD_GET_STATE, {}, 4).status, STATUS_DEVICE_REMOVED) << "the gate is shut";
}

}  // namespace
}  // namespace smclibtest
