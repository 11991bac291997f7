// Power, protocol, transmit and control through the entry points, checked
// against what the emulated reader and card saw.
#include "ifd/handler.h"
#include "tests/ifd/ifd_fixture.h"

namespace ifdtest {
namespace {

using ExchangeTest = IfdTest;

const Bytes kChallenge = {0x00, 0x84, 0x00, 0x00, 0x08};

bool EndsWithOk(const Bytes& response) {
  return response.size() >= 2 && response[response.size() - 2] == 0x90 && response.back() == 0x00;
}

// 80 22 (echo) with `n` data bytes and no Le, as an extended case 3 APDU.
Bytes EchoCase3(std::size_t n) {
  Bytes apdu = {0x80, 0x22, 0x00, 0x00, 0x00, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
  for (std::size_t i = 0; i < n; ++i) apdu.push_back(static_cast<std::uint8_t>(i * 7));
  return apdu;
}

TEST_F(ExchangeTest, PowerActionsReachTheCard) {
  ASSERT_EQ(IFD_SUCCESS, Open(kLunA, "emulated:card=t1"));
  const std::uint32_t resetsBefore = CardResets(kLunA);
  EXPECT_EQ(AtrOf(true), PowerUp(kLunA));
  UCHAR atr[MAX_ATR_SIZE];
  DWORD length = sizeof atr;
  ASSERT_EQ(IFD_SUCCESS, IFDHPowerICC(kLunA, IFD_RESET, atr, &length));
  EXPECT_EQ(AtrOf(true), Bytes(atr, atr + length));
  EXPECT_EQ(resetsBefore + 2, CardResets(kLunA));
  length = sizeof atr;
  ASSERT_EQ(IFD_SUCCESS, IFDHPowerICC(kLunA, IFD_POWER_DOWN, atr, &length));
  EXPECT_EQ(0u, length);

  RemoveCard(kLunA);
  length = sizeof atr;
  EXPECT_EQ(IFD_ICC_NOT_PRESENT, IFDHPowerICC(kLunA, IFD_POWER_UP, atr, &length));
  EXPECT_EQ(0u, length);
  EXPECT_EQ(IFD_ICC_NOT_PRESENT, IFDHICCPresence(kLunA));
}

TEST_F(ExchangeTest, T1ShortAndExtendedApdus) {
  ASSERT_EQ(IFD_SUCCESS, Open(kLunA, "emulated:card=t1"));
  PowerUp(kLunA);
  ASSERT_EQ(IFD_SUCCESS, IFDHSetProtocolParameters(kLunA, SCARD_PROTOCOL_T1, 0, 0, 0, 0));
  RESPONSECODE response = 0;
  const Bytes challenge = Transmit(kLunA, 1, kChallenge, &response);
  ASSERT_EQ(IFD_SUCCESS, response);
  EXPECT_EQ(10u, challenge.size());
  EXPECT_TRUE(EndsWithOk(challenge));

  // The largest command the driver takes: 65,542 bytes, echoed as 90 00.
  const Bytes largest = EchoCase3(65535);
  ASSERT_EQ(65542u, largest.size());
  EXPECT_EQ((Bytes{0x90, 0x00}), Transmit(kLunA, 1, largest, &response));
  EXPECT_EQ(IFD_SUCCESS, response);
  // One byte more is refused by the driver, and the reader still works.
  Bytes tooLong = largest;
  tooLong.push_back(0x00);
  EXPECT_TRUE(Transmit(kLunA, 1, tooLong, &response).empty());
  EXPECT_EQ(IFD_NOT_SUPPORTED, response);

  // 80 20 generates P1-P2 bytes: 65,535 of them with an extended Le.
  const Bytes generate = {0x80, 0x20, 0xFF, 0xFF, 0x00, 0x00, 0x00};
  const Bytes generated = Transmit(kLunA, 1, generate, &response);
  ASSERT_EQ(IFD_SUCCESS, response);
  ASSERT_EQ(65537u, generated.size());
  EXPECT_TRUE(EndsWithOk(generated));
  EXPECT_EQ(0xFE, generated[65534]);
  // The largest response: 65,536 data bytes (P1-P2 0 asks for Ne of them).
  const Bytes largestResponse = Transmit(kLunA, 1, {0x80, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00}, &response);
  ASSERT_EQ(IFD_SUCCESS, response);
  ASSERT_EQ(65538u, largestResponse.size());
  EXPECT_EQ(0xFF, largestResponse[65535]);
  EXPECT_TRUE(EndsWithOk(largestResponse));

  // A receive buffer too short for the answer.
  EXPECT_TRUE(Transmit(kLunA, 1, kChallenge, &response, 9).empty());
  EXPECT_EQ(IFD_ERROR_INSUFFICIENT_BUFFER, response);
}

TEST_F(ExchangeTest, T0CommandGoesOutAsOneT0Frame) {
  ASSERT_EQ(IFD_SUCCESS, Open(kLunA, "emulated:card=t0"));
  EXPECT_EQ(AtrOf(false), PowerUp(kLunA));
  ASSERT_EQ(IFD_SUCCESS, IFDHSetProtocolParameters(kLunA, SCARD_PROTOCOL_T0, 0, 0, 0, 0));
  ClearFrames(kLunA);
  RESPONSECODE response = 0;
  const Bytes challenge = Transmit(kLunA, 0, kChallenge, &response);
  ASSERT_EQ(IFD_SUCCESS, response);
  EXPECT_EQ(10u, challenge.size());
  EXPECT_TRUE(EndsWithOk(challenge));
  const Bytes frame = {0x52, 0x00, 0x00, 0x05, 0x00, 0x84, 0x00, 0x00, 0x08, 0xDB};
  EXPECT_TRUE(ReaderReceived(kLunA, frame));
  // On T=0 the case reduction leaves an extended Lc above 255 no way through.
  EXPECT_TRUE(Transmit(kLunA, 0, EchoCase3(300), &response).empty());
  EXPECT_EQ(IFD_COMMUNICATION_ERROR, response);
}

TEST_F(ExchangeTest, ControlCodesReachTheVendorCodes) {
  ASSERT_EQ(IFD_SUCCESS, Open(kLunA, "emulated:firmware=2.27"));
  UCHAR out[64];
  DWORD returned = 0;
  ASSERT_EQ(IFD_SUCCESS, IFDHControl(kLunA, SCARD_CTL_CODE(2053), nullptr, 0, out, sizeof out, &returned));
  EXPECT_EQ((Bytes{0x50, 0x01, 0x00, 0x00, 0x02, 0x1B, 0x02, 0x27}), Bytes(out, out + returned));
  ASSERT_EQ(IFD_SUCCESS, IFDHControl(kLunA, SCARD_CTL_CODE(2049), nullptr, 0, out, sizeof out, &returned));
  ASSERT_EQ(18u, returned);
  EXPECT_EQ(18, out[0]);
  EXPECT_EQ(1, out[1]);
  UCHAR parameter = 0x05;
  ASSERT_EQ(IFD_SUCCESS, IFDHControl(kLunA, SCARD_CTL_CODE(2055), &parameter, 1, out, sizeof out, &returned));
  EXPECT_EQ(2u, returned);
  EXPECT_EQ(0x05, CommandB0Parameter(kLunA));
  // The driver's own refusal: the version block needs 8 bytes.
  EXPECT_EQ(IFD_COMMUNICATION_ERROR, IFDHControl(kLunA, SCARD_CTL_CODE(2053), nullptr, 0, out, 7, &returned));
  EXPECT_EQ(0u, returned);
  // The feature list is empty and well-formed.
  returned = 99;
  ASSERT_EQ(IFD_SUCCESS, IFDHControl(kLunA, CM_IOCTL_GET_FEATURE_REQUEST, nullptr, 0, out, sizeof out, &returned));
  EXPECT_EQ(0u, returned);
  for (DWORD code : {DWORD{SCARD_CTL_CODE(2048)}, DWORD{SCARD_CTL_CODE(2057)}, DWORD{SCARD_CTL_CODE(1)}, DWORD{0x312014}}) {
    EXPECT_EQ(IFD_ERROR_NOT_SUPPORTED, IFDHControl(kLunA, code, nullptr, 0, out, sizeof out, &returned)) << code;
    EXPECT_EQ(0u, returned);
  }
}

}  // namespace
}  // namespace ifdtest
