// What pcscd (or a fault in it) might pass: unknown Luns, null pointers,
// short buffers. Each gets an IFD error, never a crash, and the reader
// keeps working.
#include "ifd/handler.h"
#include "tests/ifd/ifd_fixture.h"

namespace ifdtest {
namespace {

using ArgumentsTest = IfdTest;

TEST_F(ArgumentsTest, UnknownLunsNullPointersAndShortBuffersAreRefused) {
  ASSERT_EQ(IFD_SUCCESS, Open(kLunA, "emulated"));
  UCHAR buffer[300] = {0x00, 0x84, 0x00, 0x00, 0x08};
  DWORD length = sizeof buffer;
  DWORD returned = 0;
  SCARD_IO_HEADER header{1, 8};
  for (DWORD lun : {kLunB, kLunA | 1, DWORD{0xFFFFFFFF}}) {
    length = sizeof buffer;
    EXPECT_EQ(IFD_NO_SUCH_DEVICE, IFDHGetCapabilities(lun, TAG_IFD_SLOTS_NUMBER, &length, buffer));
    EXPECT_EQ(IFD_NO_SUCH_DEVICE, IFDHSetCapabilities(lun, TAG_IFD_SLOTS_NUMBER, 1, buffer));
    EXPECT_EQ(IFD_NO_SUCH_DEVICE, IFDHSetProtocolParameters(lun, SCARD_PROTOCOL_T1, 0, 0, 0, 0));
    length = sizeof buffer;
    EXPECT_EQ(IFD_NO_SUCH_DEVICE, IFDHPowerICC(lun, IFD_POWER_UP, buffer, &length));
    EXPECT_EQ(0u, length);
    length = sizeof buffer;
    EXPECT_EQ(IFD_NO_SUCH_DEVICE, IFDHTransmitToICC(lun, header, buffer, 5, buffer, &length, nullptr));
    EXPECT_EQ(IFD_NO_SUCH_DEVICE,
              IFDHControl(lun, SCARD_CTL_CODE(2053), nullptr, 0, buffer, sizeof buffer, &returned));
    EXPECT_EQ(IFD_NO_SUCH_DEVICE, IFDHICCPresence(lun));
    EXPECT_EQ(IFD_NO_SUCH_DEVICE, IFDHCloseChannel(lun));
  }
  // Null pointers and short buffers.
  returned = 7;

  EXPECT_EQ(IFD_COMMUNICATION_ERROR, IFDHGetCapabilities(kLunA, TAG_IFD_SLOTS_NUMBER, nullptr, buffer));
  EXPECT_EQ(IFD_COMMUNICATION_ERROR, IFDHGetCapabilities(kLunA, TAG_IFD_SLOTS_NUMBER, &length, nullptr));
  length = 0;
  EXPECT_EQ(IFD_ERROR_INSUFFICIENT_BUFFER, IFDHGetCapabilities(kLunA, TAG_IFD_SLOTS_NUMBER, &length, buffer));
  length = sizeof(void*) - 1;
  EXPECT_EQ(IFD_ERROR_INSUFFICIENT_BUFFER,
            IFDHGetCapabilities(kLunA, TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, &length, buffer));
  length = 3;  // "ZUNTA" does not fit
  EXPECT_EQ(IFD_ERROR_INSUFFICIENT_BUFFER, IFDHGetCapabilities(kLunA, SCARD_ATTR_VENDOR_NAME, &length, buffer));
  EXPECT_EQ(IFD_COMMUNICATION_ERROR, IFDHSetCapabilities(kLunA, TAG_IFD_SLOTS_NUMBER, 1, nullptr));

  EXPECT_EQ(IFD_COMMUNICATION_ERROR, IFDHPowerICC(kLunA, IFD_POWER_UP, buffer, nullptr));
  length = sizeof buffer;
  EXPECT_EQ(IFD_COMMUNICATION_ERROR, IFDHPowerICC(kLunA, IFD_POWER_UP, nullptr, &length));
  length = 4;  // shorter than the ATR: nothing is written beyond it
  buffer[4] = 0xEE;
  EXPECT_EQ(IFD_ERROR_INSUFFICIENT_BUFFER, IFDHPowerICC(kLunA, IFD_POWER_UP, buffer, &length));
  EXPECT_EQ(0u, length);
  EXPECT_EQ(0xEE, buffer[4]);
  length = sizeof buffer;
  EXPECT_EQ(IFD_NOT_SUPPORTED, IFDHPowerICC(kLunA, 499, buffer, &length));

  const UCHAR challenge[] = {0x00, 0x84, 0x00, 0x00, 0x08};
  EXPECT_EQ(IFD_COMMUNICATION_ERROR,
            IFDHTransmitToICC(kLunA, header, const_cast<UCHAR*>(challenge), 5, buffer, nullptr, nullptr));
  length = sizeof buffer;
  EXPECT_EQ(IFD_COMMUNICATION_ERROR, IFDHTransmitToICC(kLunA, header, nullptr, 5, buffer, &length, nullptr));
  length = sizeof buffer;
  EXPECT_EQ(IFD_COMMUNICATION_ERROR,
            IFDHTransmitToICC(kLunA, header, const_cast<UCHAR*>(challenge), 5, nullptr, &length, nullptr));
  length = sizeof buffer;
  SCARD_IO_HEADER t7{7, 8};
  EXPECT_EQ(IFD_PROTOCOL_NOT_SUPPORTED,
            IFDHTransmitToICC(kLunA, t7, const_cast<UCHAR*>(challenge), 5, buffer, &length, nullptr));
  EXPECT_EQ(0u, length);

  EXPECT_EQ(IFD_COMMUNICATION_ERROR, IFDHControl(kLunA, SCARD_CTL_CODE(2053), nullptr, 0, buffer, 8, nullptr));
  EXPECT_EQ(IFD_COMMUNICATION_ERROR, IFDHControl(kLunA, SCARD_CTL_CODE(2053), nullptr, 4, buffer, 8, &returned));
  EXPECT_EQ(0u, returned);
  EXPECT_EQ(IFD_COMMUNICATION_ERROR, IFDHControl(kLunA, SCARD_CTL_CODE(2053), nullptr, 0, nullptr, 8, &returned));

  EXPECT_EQ(IFD_PROTOCOL_NOT_SUPPORTED, IFDHSetProtocolParameters(kLunA, 0, 0, 0, 0, 0));
  // After all of it the reader answers as before.
  EXPECT_EQ(AtrOf(true), PowerUp(kLunA));
}

}  // namespace
}  // namespace ifdtest
