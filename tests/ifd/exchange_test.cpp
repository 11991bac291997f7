// Power, transmit on each protocol and control through the entry points,
// checked against what the emulated reader and card saw.
#include "ifd/handler.h"
#include "tests/ifd/ifd_fixture.h"

namespace ifdtest {
namespace {

using ExchangeTest = IfdTest;

const Bytes kOk = {0x90, 0x00};

Bytes Tail(const Bytes& b, std::size_t n) { return Bytes(b.end() - static_cast<long>(std::min(n, b.size())), b.end()); }

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
}

// The largest command and response the driver takes cross the handler's buffers whole.
TEST_F(ExchangeTest, T1TheLargestCommandAndResponse) {
  ASSERT_EQ(IFD_SUCCESS, Open(kLunA, "emulated:card=t1"));
  PowerUp(kLunA);
  ASSERT_EQ(IFD_SUCCESS, IFDHSetProtocolParameters(kLunA, SCARD_PROTOCOL_T1, 0, 0, 0, 0));
  RESPONSECODE response = 0;
  // 80 22 (echo), extended case 3 with 65,535 data bytes: 65,542 bytes.
  Bytes echo = {0x80, 0x22, 0x00, 0x00, 0x00, 0xFF, 0xFF};
  echo.resize(65542, 0x5A);
  EXPECT_EQ(kOk, Transmit(kLunA, 1, echo, &response));
  echo.push_back(0x00);  // one byte more: refused by the driver
  EXPECT_TRUE(Transmit(kLunA, 1, echo, &response).empty());
  EXPECT_EQ(IFD_NOT_SUPPORTED, response);
  // 80 20 with P1-P2 0 and Le 0000 generates 65,536 bytes (00, 01, ... FF, 00, ...).
  const Bytes generated = Transmit(kLunA, 1, {0x80, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00}, &response);
  ASSERT_EQ(65538u, generated.size());
  EXPECT_EQ((Bytes{0xFF, 0x90, 0x00}), Tail(generated, 3));
  // A receive buffer too short for the answer.
  EXPECT_TRUE(Transmit(kLunA, 1, kChallenge, &response, 9).empty());
  EXPECT_EQ(IFD_ERROR_INSUFFICIENT_BUFFER, response);
}

TEST_F(ExchangeTest, T0CommandGoesOutAsOneT0Frame) {
  ASSERT_EQ(IFD_SUCCESS, Open(kLunA, "emulated:card=t0"));
  EXPECT_EQ(AtrOf(false), PowerUp(kLunA));
  ASSERT_EQ(IFD_SUCCESS, IFDHSetProtocolParameters(kLunA, SCARD_PROTOCOL_T0, 0, 0, 0, 0));
  RESPONSECODE response = 0;
  const Bytes challenge = Transmit(kLunA, 0, kChallenge, &response);
  EXPECT_EQ(10u, challenge.size());
  EXPECT_EQ(kOk, Tail(challenge, 2));
  EXPECT_TRUE(ReaderReceived(kLunA, {0x52, 0x00, 0x00, 0x05, 0x00, 0x84, 0x00, 0x00, 0x08, 0xDB}));
}

TEST_F(ExchangeTest, ControlCodesReachTheVendorCodes) {
  ASSERT_EQ(IFD_SUCCESS, Open(kLunA, "emulated:firmware=2.27"));
  UCHAR out[64];
  DWORD returned = 0;
  ASSERT_EQ(IFD_SUCCESS, IFDHControl(kLunA, SCARD_CTL_CODE(2053), nullptr, 0, out, sizeof out, &returned));
  EXPECT_EQ((Bytes{0x50, 0x01, 0x00, 0x00, 0x02, 0x1B, 0x02, 0x27}), Bytes(out, out + returned));
  ASSERT_EQ(IFD_SUCCESS, IFDHControl(kLunA, SCARD_CTL_CODE(2049), nullptr, 0, out, sizeof out, &returned));
  EXPECT_EQ((Bytes{18, 1}), Bytes(out, out + 2)) << "the device descriptor";
  UCHAR parameter = 0x05;
  ASSERT_EQ(IFD_SUCCESS, IFDHControl(kLunA, SCARD_CTL_CODE(2055), &parameter, 1, out, sizeof out, &returned));
  EXPECT_EQ(0x05, CommandB0Parameter(kLunA));
  // The driver's own refusal: the version block needs 8 bytes.
  EXPECT_EQ(IFD_COMMUNICATION_ERROR, IFDHControl(kLunA, SCARD_CTL_CODE(2053), nullptr, 0, out, 7, &returned));
  EXPECT_EQ(0u, returned);
  returned = 99;  // the feature list is empty and well-formed
  ASSERT_EQ(IFD_SUCCESS, IFDHControl(kLunA, CM_IOCTL_GET_FEATURE_REQUEST, nullptr, 0, out, sizeof out, &returned));
  EXPECT_EQ(0u, returned);
  for (DWORD code : {DWORD{SCARD_CTL_CODE(2048)}, DWORD{SCARD_CTL_CODE(2057)}, DWORD{0x312014}}) {
    EXPECT_EQ(IFD_ERROR_NOT_SUPPORTED, IFDHControl(kLunA, code, nullptr, 0, out, sizeof out, &returned)) << code;
    EXPECT_EQ(0u, returned);
  }
}

}  // namespace
}  // namespace ifdtest
