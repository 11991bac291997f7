// Channel life: open and close with nothing left behind, the capabilities
// pcscd asks for at start, two readers at once, refused device names.
#include <cstring>
#include <string>

#include "ifd/handler.h"
#include "tests/ifd/ifd_fixture.h"

namespace ifdtest {
namespace {

using ChannelTest = IfdTest;

std::string Attribute(DWORD lun, DWORD tag, RESPONSECODE* response) {
  UCHAR value[256];
  DWORD length = sizeof value;
  *response = IFDHGetCapabilities(lun, tag, &length, value);
  std::string text(reinterpret_cast<char*>(value), *response == IFD_SUCCESS ? length : 0);
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

TEST_F(ChannelTest, TheDefaultReaderOpensAndClosesWithNothingLeft) {
  ASSERT_EQ(IFD_SUCCESS, IFDHCreateChannel(kLunA, 0x3F8));
  EXPECT_EQ(1u, ifd::OpenChannels());
  ASSERT_TRUE(HasReader(kLunA));
  EXPECT_EQ("2.27", ReaderFirmware(kLunA));
  EXPECT_TRUE(HasCard(kLunA));  // a T=1 card by default
  EXPECT_EQ(IFD_SUCCESS, IFDHCloseChannel(kLunA));
  EXPECT_EQ(0u, ifd::OpenChannels());
  EXPECT_EQ(IFD_NO_SUCH_DEVICE, IFDHCloseChannel(kLunA));
  // Opened again after the driver was unloaded: a fresh load.
  ASSERT_EQ(IFD_SUCCESS, Open(kLunA, "emulated:card=none"));
  EXPECT_FALSE(HasCard(kLunA));
}

TEST_F(ChannelTest, CapabilitiesPcscdAsksFor) {
  ASSERT_EQ(IFD_SUCCESS, Open(kLunA, "emulated:firmware=2.27:card=t1"));
  UCHAR value[64];
  DWORD length = sizeof value;
  ASSERT_EQ(IFD_SUCCESS, IFDHGetCapabilities(kLunA, TAG_IFD_SLOTS_NUMBER, &length, value));
  EXPECT_EQ(1u, length);
  EXPECT_EQ(1, value[0]);
  length = sizeof value;
  ASSERT_EQ(IFD_SUCCESS, IFDHGetCapabilities(kLunA, TAG_IFD_SIMULTANEOUS_ACCESS, &length, value));
  EXPECT_EQ(1u, length);
  EXPECT_GE(value[0], 2);
  length = sizeof value;
  ASSERT_EQ(IFD_SUCCESS, IFDHGetCapabilities(kLunA, TAG_IFD_POLLING_THREAD_KILLABLE, &length, value));
  EXPECT_EQ(1u, length);
  EXPECT_EQ(0, value[0]);

  RESPONSECODE (*poll)(DWORD, int) = nullptr;
  length = sizeof poll;
  ASSERT_EQ(IFD_SUCCESS, IFDHGetCapabilities(kLunA, TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, &length,
                                             reinterpret_cast<PUCHAR>(&poll)));
  EXPECT_EQ(sizeof(void*), length);
  EXPECT_NE(nullptr, poll);
  RESPONSECODE (*stop)(DWORD) = nullptr;
  length = sizeof stop;
  ASSERT_EQ(IFD_SUCCESS,
            IFDHGetCapabilities(kLunA, TAG_IFD_STOP_POLLING_THREAD, &length, reinterpret_cast<PUCHAR>(&stop)));
  EXPECT_NE(nullptr, stop);

  RESPONSECODE response = 0;
  EXPECT_EQ("ZUNTA", Attribute(kLunA, SCARD_ATTR_VENDOR_NAME, &response));
  EXPECT_EQ(IFD_SUCCESS, response);
  EXPECT_EQ("KT2210USB", Attribute(kLunA, SCARD_ATTR_VENDOR_IFD_TYPE, &response));
  EXPECT_EQ(IFD_SUCCESS, response);
  // The firmware version, as the driver reports it: 0xMMmm in the high half.
  UCHAR version[8];
  length = sizeof version;
  ASSERT_EQ(IFD_SUCCESS, IFDHGetCapabilities(kLunA, SCARD_ATTR_VENDOR_IFD_VERSION, &length, version));
  ASSERT_EQ(4u, length);
  EXPECT_EQ(0x27, version[2]);
  EXPECT_EQ(0x02, version[3]);
  UCHAR maxInput[8];
  length = sizeof maxInput;
  EXPECT_EQ(IFD_SUCCESS, IFDHGetCapabilities(kLunA, SCARD_ATTR_MAXINPUT, &length, maxInput));
  EXPECT_EQ(4u, length);
  length = sizeof maxInput;
  EXPECT_EQ(IFD_SUCCESS, IFDHGetCapabilities(kLunA, SCARD_ATTR_CHANNEL_ID, &length, maxInput));
  EXPECT_EQ(4u, length);
  length = sizeof value;
  EXPECT_EQ(IFD_ERROR_TAG, IFDHGetCapabilities(kLunA, 0x7FFF7777, &length, value));
  EXPECT_EQ(IFD_ERROR_TAG, IFDHSetCapabilities(kLunA, TAG_IFD_SLOTS_NUMBER, 1, value));

  // The ATR through both tags once the card is powered, none before.
  length = sizeof value;
  ASSERT_EQ(IFD_SUCCESS, IFDHGetCapabilities(kLunA, TAG_IFD_ATR, &length, value));
  const Bytes atr = PowerUp(kLunA);
  EXPECT_EQ(AtrOf(true), atr);
  length = sizeof value;
  ASSERT_EQ(IFD_SUCCESS, IFDHGetCapabilities(kLunA, TAG_IFD_ATR, &length, value));
  EXPECT_EQ(atr, Bytes(value, value + length));
  length = sizeof value;
  ASSERT_EQ(IFD_SUCCESS, IFDHGetCapabilities(kLunA, SCARD_ATTR_ATR_STRING, &length, value));
  EXPECT_EQ(atr, Bytes(value, value + length));
}

TEST_F(ChannelTest, TwoReadersEachWithItsOwnCard) {
  ASSERT_EQ(IFD_SUCCESS, Open(kLunA, "emulated:card=t1"));
  ASSERT_EQ(IFD_SUCCESS, Open(kLunB, "emulated:card=t0:firmware=2.27"));
  EXPECT_EQ(2u, ifd::OpenChannels());
  EXPECT_TRUE(DistinctReaders(kLunA, kLunB));
  EXPECT_EQ(AtrOf(true), PowerUp(kLunA));
  EXPECT_EQ(AtrOf(false), PowerUp(kLunB));
  // Each reader gets its own unit number.
  UCHAR unitA[4], unitB[4];
  DWORD length = sizeof unitA;
  ASSERT_EQ(IFD_SUCCESS, IFDHGetCapabilities(kLunA, SCARD_ATTR_DEVICE_UNIT, &length, unitA));
  length = sizeof unitB;
  ASSERT_EQ(IFD_SUCCESS, IFDHGetCapabilities(kLunB, SCARD_ATTR_DEVICE_UNIT, &length, unitB));
  EXPECT_NE(0, std::memcmp(unitA, unitB, sizeof unitA));
  // Closing one leaves the other working.
  Close(kLunA);
  EXPECT_EQ(IFD_NO_SUCH_DEVICE, IFDHICCPresence(kLunA));
  EXPECT_EQ(IFD_ICC_PRESENT, IFDHICCPresence(kLunB));
  EXPECT_EQ(AtrOf(false), PowerUp(kLunB));
}

TEST_F(ChannelTest, RefusedChannelsLeaveNothingOpen) {
  EXPECT_EQ(IFD_NO_SUCH_DEVICE, Open(kLunA, "emulated:colour=blue"));
  EXPECT_EQ(IFD_NO_SUCH_DEVICE, Open(kLunA, "/dev/ttyS0"));
  EXPECT_EQ(IFD_NO_SUCH_DEVICE, Open(kLunA | 1, "emulated"));  // slot 1 of a one-slot reader
  EXPECT_EQ(0u, ifd::OpenChannels());
  ASSERT_EQ(IFD_SUCCESS, Open(kLunA, "emulated"));
  EXPECT_EQ(IFD_COMMUNICATION_ERROR, IFDHCreateChannelByName(kLunA, const_cast<char*>("emulated")));
  EXPECT_EQ(1u, ifd::OpenChannels());
}

}  // namespace
}  // namespace ifdtest
