// What pcscd (or a fault in it) might pass: unknown Luns, null pointers,
// short buffers. Each gets an IFD error, never a crash, and the reader keeps
// working.
#include "ifd/handler.h"
#include "tests/ifd/ifd_fixture.h"

namespace ifdtest {
namespace {

using ArgumentsTest = IfdTest;

TEST_F(ArgumentsTest, UnknownLunsNullPointersAndShortBuffersAreRefused) {
  ASSERT_EQ(IFD_SUCCESS, Open(kLunA, "emulated"));
  UCHAR buffer[300] = {0x00, 0x84, 0x00, 0x00, 0x08};
  DWORD length = 0;
  const auto room = [&](DWORD n) { return &(length = n); };  // the caller's length, set afresh
  DWORD returned = 0;
  SCARD_IO_HEADER header{1, 8};
  for (DWORD lun : {kLunB, kLunA | 1, DWORD{0xFFFFFFFF}}) {
    EXPECT_EQ(IFD_NO_SUCH_DEVICE, IFDHGetCapabilities(lun, TAG_IFD_SLOTS_NUMBER, room(300), buffer));
    EXPECT_EQ(IFD_NO_SUCH_DEVICE, IFDHSetCapabilities(lun, TAG_IFD_SLOTS_NUMBER, 1, buffer));
    EXPECT_EQ(IFD_NO_SUCH_DEVICE, IFDHSetProtocolParameters(lun, SCARD_PROTOCOL_T1, 0, 0, 0, 0));
    EXPECT_EQ(IFD_NO_SUCH_DEVICE, IFDHPowerICC(lun, IFD_POWER_UP, buffer, room(300)));
    EXPECT_EQ(0u, length);
    EXPECT_EQ(IFD_NO_SUCH_DEVICE, IFDHTransmitToICC(lun, header, buffer, 5, buffer, room(300), nullptr));
    EXPECT_EQ(IFD_NO_SUCH_DEVICE,
              IFDHControl(lun, SCARD_CTL_CODE(2053), nullptr, 0, buffer, sizeof buffer, &returned));
    EXPECT_EQ(IFD_NO_SUCH_DEVICE, IFDHICCPresence(lun));
    EXPECT_EQ(IFD_NO_SUCH_DEVICE, IFDHCloseChannel(lun));
  }
  EXPECT_EQ(IFD_COMMUNICATION_ERROR, IFDHGetCapabilities(kLunA, TAG_IFD_SLOTS_NUMBER, nullptr, buffer));
  EXPECT_EQ(IFD_COMMUNICATION_ERROR, IFDHGetCapabilities(kLunA, TAG_IFD_SLOTS_NUMBER, room(300), nullptr));
  EXPECT_EQ(IFD_ERROR_INSUFFICIENT_BUFFER, IFDHGetCapabilities(kLunA, TAG_IFD_SLOTS_NUMBER, room(0), buffer));
  EXPECT_EQ(IFD_ERROR_INSUFFICIENT_BUFFER,
            IFDHGetCapabilities(kLunA, TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, room(sizeof(void*) - 1), buffer));
  // "ZUNTA" does not fit in 3 bytes.
  EXPECT_EQ(IFD_ERROR_INSUFFICIENT_BUFFER, IFDHGetCapabilities(kLunA, SCARD_ATTR_VENDOR_NAME, room(3), buffer));
  EXPECT_EQ(IFD_COMMUNICATION_ERROR, IFDHSetCapabilities(kLunA, TAG_IFD_SLOTS_NUMBER, 1, nullptr));

  EXPECT_EQ(IFD_COMMUNICATION_ERROR, IFDHPowerICC(kLunA, IFD_POWER_UP, buffer, nullptr));
  EXPECT_EQ(IFD_COMMUNICATION_ERROR, IFDHPowerICC(kLunA, IFD_POWER_UP, nullptr, room(300)));
  buffer[4] = 0xEE;  // a length shorter than the ATR: nothing is written beyond it
  EXPECT_EQ(IFD_ERROR_INSUFFICIENT_BUFFER, IFDHPowerICC(kLunA, IFD_POWER_UP, buffer, room(4)));
  EXPECT_EQ(0u, length);
  EXPECT_EQ(0xEE, buffer[4]);
  EXPECT_EQ(IFD_NOT_SUPPORTED, IFDHPowerICC(kLunA, 499, buffer, room(300)));

  UCHAR challenge[] = {0x00, 0x84, 0x00, 0x00, 0x08};
  EXPECT_EQ(IFD_COMMUNICATION_ERROR, IFDHTransmitToICC(kLunA, header, challenge, 5, buffer, nullptr, nullptr));
  EXPECT_EQ(IFD_COMMUNICATION_ERROR, IFDHTransmitToICC(kLunA, header, nullptr, 5, buffer, room(300), nullptr));
  EXPECT_EQ(IFD_COMMUNICATION_ERROR, IFDHTransmitToICC(kLunA, header, challenge, 5, nullptr, room(300), nullptr));
  EXPECT_EQ(IFD_PROTOCOL_NOT_SUPPORTED,
            IFDHTransmitToICC(kLunA, SCARD_IO_HEADER{7, 8}, challenge, 5, buffer, room(300), nullptr));
  EXPECT_EQ(0u, length);

  EXPECT_EQ(IFD_COMMUNICATION_ERROR, IFDHControl(kLunA, SCARD_CTL_CODE(2053), nullptr, 0, buffer, 8, nullptr));
  returned = 7;
  EXPECT_EQ(IFD_COMMUNICATION_ERROR, IFDHControl(kLunA, SCARD_CTL_CODE(2053), nullptr, 4, buffer, 8, &returned));
  EXPECT_EQ(0u, returned);
  EXPECT_EQ(IFD_COMMUNICATION_ERROR, IFDHControl(kLunA, SCARD_CTL_CODE(2053), nullptr, 0, nullptr, 8, &returned));

  EXPECT_EQ(IFD_PROTOCOL_NOT_SUPPORTED, IFDHSetProtocolParameters(kLunA, 0, 0, 0, 0, 0));
  // After all of it the reader answers as before.
  EXPECT_EQ(AtrOf(true), PowerUp(kLunA));
}

}  // namespace
}  // namespace ifdtest
