// SmartcardDeviceControl with reader functions of the test's own: what each
// control code puts into MinorIoControlCode and IoRequest, the buffer checks
// in front of the reader functions, and how requests are completed.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#include "tests/platform/smclib/library_device.h"

namespace smclibtest {
namespace {

constexpr ULONG kVendorGetVersion = 0x312014;
constexpr ULONG kVendorCommandD8 = 0x312020;

Bytes TransmitRequest(const Bytes& apdu) {
  Bytes request = Ulong(SCARD_PROTOCOL_T1);
  const Bytes length = Ulong(sizeof(SCARD_IO_REQUEST));
  request.insert(request.end(), length.begin(), length.end());
  request.insert(request.end(), apdu.begin(), apdu.end());
  return request;
}

class DeviceControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (ULONG slot : {RDF_CARD_POWER, RDF_TRANSMIT, RDF_CARD_EJECT, RDF_SET_PROTOCOL}) {
      device.Extension().ReaderFunction[slot] = ScriptedReaderFunction;
    }
    device.Extension().ReaderFunction[RDF_IOCTL_VENDOR] = ScriptedVendorFunction;
    // A card in T=1, as the transmit requests here name it: the library
    // refuses any other transmit itself.
    device.Extension().ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
    device.Extension().CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
  }

  LibraryDevice device;
  ReaderScript& script = Script();
};

// One row per control code that reaches a reader function.
struct Decoding {
  const char* name;
  ULONG code;
  Bytes input;
  ULONG outputLength;
  ULONG expectedMinor;
};

class DecodingTest : public DeviceControlTest, public ::testing::WithParamInterface<Decoding> {};

TEST_P(DecodingTest, ReaderFunctionSeesTheCodesAndTheCallersBytes) {
  const Decoding& row = GetParam();
  script.reply = {0x3B, 0x02, 0x14, 0x50};
  const kernel::IoResult result = device.Control(row.code, row.input, row.outputLength);

  EXPECT_EQ(script.calls, 1);
  EXPECT_EQ(script.major, row.code);
  EXPECT_EQ(script.minor, row.expectedMinor);
  EXPECT_EQ(script.request, row.input);
  EXPECT_EQ(script.requestLength, row.input.size());
  EXPECT_EQ(script.replyBufferLength, row.outputLength);
  EXPECT_FALSE(script.requestIsSystemBuffer) << "reader functions work on the library's own buffers";
  EXPECT_NE(script.currentIrp, nullptr);
  EXPECT_EQ(device.Extension().OsData->CurrentIrp, nullptr) << "the request is current only while it is served";
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  const ULONG copied = std::min<ULONG>(4, row.outputLength);
  EXPECT_EQ(result.information, copied);
  EXPECT_EQ(result.output, Bytes(script.reply.begin(), script.reply.begin() + copied));
}

INSTANTIATE_TEST_SUITE_P(
    EveryCodeWithAReaderFunction, DecodingTest,
    ::testing::Values(Decoding{"ColdReset", IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 33, SCARD_COLD_RESET},
                      Decoding{"WarmReset", IOCTL_SMARTCARD_POWER, Ulong(SCARD_WARM_RESET), 33, SCARD_WARM_RESET},
                      Decoding{"PowerDown", IOCTL_SMARTCARD_POWER, Ulong(SCARD_POWER_DOWN), 0, SCARD_POWER_DOWN},
                      // The reader function decides about operations it does not know.
                      Decoding{"UnknownPowerOperation", IOCTL_SMARTCARD_POWER, Ulong(7), 0, 7},
                      Decoding{"SetProtocol", IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_Tx), 4,
                               SCARD_PROTOCOL_Tx},
                      Decoding{"SetProtocolRaw", IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_RAW), 4,
                               SCARD_PROTOCOL_RAW},
                      Decoding{"Transmit", IOCTL_SMARTCARD_TRANSMIT, TransmitRequest({0x00, 0xA4, 0x04, 0x00}), 258,
                               0},
                      Decoding{"TransmitHeaderOnly", IOCTL_SMARTCARD_TRANSMIT, TransmitRequest({}), 8, 0},
                      Decoding{"Eject", IOCTL_SMARTCARD_EJECT, {}, 0, 0}),
    [](const ::testing::TestParamInfo<Decoding>& info) { return std::string(info.param.name); });

TEST_F(DeviceControlTest, MalformedInputNeverReachesTheReader) {
  struct Case {
    ULONG code;
    Bytes input;
    ULONG outputLength;
    NTSTATUS status;
  };
  const Case cases[] = {
      {IOCTL_SMARTCARD_POWER, {0x01, 0x00, 0x00}, 33, STATUS_INVALID_PARAMETER},
      {IOCTL_SMARTCARD_SET_PROTOCOL, {0x02, 0x00}, 4, STATUS_INVALID_PARAMETER},
      // The selected protocol comes back as 4 bytes.
      {IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T1), 3, STATUS_BUFFER_TOO_SMALL},
      // A transmit carries at least the SCARD_IO_REQUEST header both ways.
      {IOCTL_SMARTCARD_TRANSMIT, Bytes(7, 0), 258, STATUS_INVALID_PARAMETER},
      {IOCTL_SMARTCARD_TRANSMIT, TransmitRequest({0x00, 0xB0, 0x00, 0x00, 0x00}), 7, STATUS_BUFFER_TOO_SMALL},
      {IOCTL_SMARTCARD_TRANSMIT, Bytes(TestBufferSize + 1, 0), 258, STATUS_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    const kernel::IoResult result = device.Control(c.code, c.input, c.outputLength);
    EXPECT_EQ(result.status, c.status) << std::hex << c.code << " with " << std::dec << c.input.size() << " in, "
                                       << c.outputLength << " out";
    EXPECT_EQ(result.information, 0u);
  }
  EXPECT_EQ(script.calls, 0);
}

TEST_F(DeviceControlTest, LargestRequestFitsTheLibrarysBuffer) {
  const Bytes request = TransmitRequest(Bytes(TestBufferSize - sizeof(SCARD_IO_REQUEST), 0x5A));
  EXPECT_EQ(device.Control(IOCTL_SMARTCARD_TRANSMIT, request, 8).status, STATUS_SUCCESS);
  EXPECT_EQ(script.requestLength, TestBufferSize);
}

TEST_F(DeviceControlTest, ReplyIsBoundedByTheCallersBufferWhateverTheReaderCounts) {
  script.reply = Bytes(40, 0x61);
  script.reportedLength = 4000;
  const kernel::IoResult result = device.Control(IOCTL_SMARTCARD_TRANSMIT, TransmitRequest({0, 0xB0, 0, 0, 0}), 20);
  EXPECT_EQ(script.replyBufferLength, 20u);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 20u);
  EXPECT_EQ(result.output, Bytes(20, 0x61));
}

TEST_F(DeviceControlTest, LargerOutputThanTheLibrarysReplyBufferIsOfferedAsTheBuffer) {
  device.Control(IOCTL_SMARTCARD_TRANSMIT, TransmitRequest({}), TestBufferSize + 100);
  EXPECT_EQ(script.replyBufferLength, TestBufferSize);
}

TEST_F(DeviceControlTest, FailureCarriesNoReplyAndBecomesTheLastError) {
  script.reply = Bytes(4, 0);
  script.status = STATUS_INVALID_DEVICE_REQUEST;
  const kernel::IoResult failed = device.Control(IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_RAW), 4);
  EXPECT_EQ(failed.status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(failed.information, 0u);

  const kernel::IoResult lastError = device.Control(IOCTL_SMARTCARD_GET_LAST_ERROR, {}, 4);
  EXPECT_EQ(lastError.status, STATUS_SUCCESS);
  EXPECT_EQ(lastError.output, Ulong(static_cast<ULONG>(STATUS_INVALID_DEVICE_REQUEST)));
}

TEST_F(DeviceControlTest, SuccessClassStatusesKeepTheirReply) {
  script.reply = {0x90, 0x00};
  script.status = STATUS_TIMEOUT;
  const kernel::IoResult result = device.Control(IOCTL_SMARTCARD_EJECT, {}, 2);
  EXPECT_EQ(result.status, STATUS_TIMEOUT);
  EXPECT_EQ(result.output, (Bytes{0x90, 0x00}));
}

TEST_F(DeviceControlTest, CodesWithoutAReaderFunctionAreNotSupported) {
  device.Extension().ReaderFunction[RDF_CARD_EJECT] = nullptr;
  for (ULONG code : {IOCTL_SMARTCARD_EJECT, IOCTL_SMARTCARD_SWALLOW, IOCTL_SMARTCARD_CONFISCATE}) {
    const kernel::IoResult result = device.Control(code, {}, 0);
    EXPECT_EQ(result.status, STATUS_NOT_SUPPORTED) << std::hex << code;
  }
  EXPECT_EQ(script.calls, 0);
}

TEST_F(DeviceControlTest, SwallowAndConfiscateGoToTheirSlots) {
  device.Extension().ReaderFunction[RDF_READER_SWALLOW] = ScriptedReaderFunction;
  device.Extension().ReaderFunction[RDF_CARD_CONFISCATE] = ScriptedReaderFunction;
  EXPECT_EQ(device.Control(IOCTL_SMARTCARD_SWALLOW, {}, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(script.major, IOCTL_SMARTCARD_SWALLOW);
  EXPECT_EQ(device.Control(IOCTL_SMARTCARD_CONFISCATE, {}, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(script.major, IOCTL_SMARTCARD_CONFISCATE);
  EXPECT_EQ(script.calls, 2);
}

TEST_F(DeviceControlTest, CodesOutsideTheSmartCardSetAreInvalidRequests) {
  // Function 8 of the smart-card type is no request, nor is anything of another device type.
  const ULONG codes[] = {SCARD_CTL_CODE(8), SCARD_CTL_CODE(13), CTL_CODE(FILE_DEVICE_UNKNOWN, 2049, METHOD_BUFFERED, 0),
                         CTL_CODE(FILE_DEVICE_SMARTCARD, 2049, METHOD_NEITHER, 0)};
  for (ULONG code : codes) {
    const kernel::IoResult result = device.Control(code, Ulong(1), 4);
    EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_REQUEST) << std::hex << code;
    EXPECT_EQ(result.information, 0u);
  }
  EXPECT_EQ(script.calls, 0);
}

TEST_F(DeviceControlTest, VendorCodesGetTheRequestAndItsSystemBuffer) {
  script.reply = {0x50, 0x01, 0x00, 0x00, 0x02, 0x1B, 0x02, 0x27};
  const kernel::IoResult result = device.Control(kVendorGetVersion, {}, 8);
  EXPECT_EQ(script.major, kVendorGetVersion);
  EXPECT_EQ(script.minor, 0u);
  EXPECT_EQ(script.replyBufferLength, 8u);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 8u);
  EXPECT_EQ(result.output, script.reply);

  const kernel::IoResult withInput = device.Control(kVendorCommandD8, Bytes{0x05}, 2);
  EXPECT_TRUE(script.requestIsSystemBuffer);
  EXPECT_EQ(script.request, Bytes{0x05});
  EXPECT_EQ(withInput.information, 2u);
}

TEST_F(DeviceControlTest, EveryVendorFunctionNumberGoesToTheVendorSlot) {
  // The driver filters its eight codes; the library passes the whole vendor range on.
  device.Control(SCARD_CTL_CODE(3000), {}, 0);
  EXPECT_EQ(script.major, SCARD_CTL_CODE(3000));
  device.Extension().ReaderFunction[RDF_IOCTL_VENDOR] = nullptr;
  EXPECT_EQ(device.Control(kVendorGetVersion, {}, 8).status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(script.calls, 1);
}

TEST_F(DeviceControlTest, VendorFailureReportsNoBytes) {
  script.reply = {0x90, 0x00};
  script.status = STATUS_IO_TIMEOUT;
  const kernel::IoResult result = device.Control(kVendorCommandD8, Bytes{0x01}, 2);
  EXPECT_EQ(result.status, STATUS_IO_TIMEOUT);
  EXPECT_EQ(result.information, 0u);
}

TEST_F(DeviceControlTest, StateAnswersFromTheExtension) {
  device.Extension().ReaderCapabilities.CurrentState = SCARD_NEGOTIABLE;
  const kernel::IoResult state = device.Control(IOCTL_SMARTCARD_GET_STATE, {}, 4);
  EXPECT_EQ(state.status, STATUS_SUCCESS);
  EXPECT_EQ(state.output, Ulong(SCARD_NEGOTIABLE));
  EXPECT_EQ(device.Control(IOCTL_SMARTCARD_GET_STATE, {}, 3).status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(device.Control(IOCTL_SMARTCARD_GET_LAST_ERROR, {}, 2).status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(script.calls, 0);
}

TEST_F(DeviceControlTest, PerformanceCountersCountTransmissions) {
  script.reply = {0, 0, 0, 0, 0, 0, 0, 0, 0x6F, 0x00, 0x90, 0x00};
  device.Control(IOCTL_SMARTCARD_TRANSMIT, TransmitRequest({0x00, 0xB0, 0x00, 0x00, 0x02}), 258);
  script.status = STATUS_IO_TIMEOUT;
  device.Control(IOCTL_SMARTCARD_TRANSMIT, TransmitRequest({0x00, 0xB0, 0x00, 0x00, 0x02}), 258);

  const kernel::IoResult result = device.Control(IOCTL_SMARTCARD_GET_PERF_CNTR, {}, sizeof(PERF_INFO));
  ASSERT_EQ(result.status, STATUS_SUCCESS);
  ASSERT_EQ(result.output.size(), sizeof(PERF_INFO));
  PERF_INFO counters;
  std::memcpy(&counters, result.output.data(), sizeof(counters));
  EXPECT_EQ(counters.NumTransmissions, 2u);
  EXPECT_EQ(counters.BytesSent, 10u);
  EXPECT_EQ(counters.BytesReceived, 4u) << "a failed transmission brings nothing back";
  EXPECT_EQ(device.Control(IOCTL_SMARTCARD_GET_PERF_CNTR, {}, sizeof(PERF_INFO) - 1).status, STATUS_BUFFER_TOO_SMALL);
}

TEST_F(DeviceControlTest, AttributesCannotBeWritten) {
  EXPECT_EQ(device.Control(IOCTL_SMARTCARD_SET_ATTRIBUTE, Ulong(SCARD_ATTR_VENDOR_NAME), 0).status,
            STATUS_NOT_SUPPORTED);
  EXPECT_EQ(device.Control(IOCTL_SMARTCARD_SET_ATTRIBUTE, Bytes{0x00, 0x01}, 0).status, STATUS_INVALID_PARAMETER);
}

// A reader function that takes time: the second request waits until the
// first has finished with IoRequest.
NTSTATUS SlowReaderFunction(PSMARTCARD_EXTENSION extension) {
  const ULONG minor = extension->MinorIoControlCode;
  kernel::SleepFor(kernel::kSecond);
  // Nobody changed the shared request record meanwhile.
  *extension->IoRequest.Information = minor == extension->MinorIoControlCode ? 4 : 0;
  std::memcpy(extension->IoRequest.ReplyBuffer, &minor, sizeof(minor));
  return STATUS_SUCCESS;
}

TEST_F(DeviceControlTest, RequestsAreServedOneAtATime) {
  device.Extension().ReaderFunction[RDF_SET_PROTOCOL] = SlowReaderFunction;
  std::atomic<int> finished{0};
  kernel::IoResult first, second;
  {
    kernel::SystemThread a("first", [&] {
      first = device.Control(IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T0), 4);
      finished++;
    });
    kernel::SystemThread b("second", [&] {
      kernel::SleepFor(kernel::kMillisecond);
      second = device.Control(IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T1), 4);
      finished++;
    });
    a.Join();
    b.Join();
  }
  EXPECT_EQ(finished, 2);
  EXPECT_EQ(first.output, Ulong(SCARD_PROTOCOL_T0));
  EXPECT_EQ(second.output, Ulong(SCARD_PROTOCOL_T1));
}

}  // namespace
}  // namespace smclibtest
