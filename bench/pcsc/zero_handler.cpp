// The floor of the pcscd benchmark: an IFD handler that answers at once,
// as a card would, with no reader behind it. What pyscard measures through
// it is pcscd and its client library alone. One slot, a T=1 card with the
// built-in card's ATR layout (IFSC 32); GET CHALLENGE returns Le bytes and
// 90 00, any other command 69 86, as the built-in card answers UPDATE BINARY
// without a selected file.
#include <cstring>

// The header declares the entry points without C linkage; pcscd looks them up by their C names.
extern "C" {
#include <PCSC/ifdhandler.h>
}

namespace {

// TS, T0 (TD1, 4 historical bytes), TD1 (TD2, T=1), TD2 (TA3, T=1), TA3 = IFSC 32, "ZERO", TCK.
constexpr UCHAR kAtr[] = {0x3B, 0x84, 0x81, 0x11, 0x20, 'Z', 'E', 'R', 'O', 0x20 ^ 0x84 ^ 0x81 ^ 0x11 ^ 'Z' ^ 'E' ^ 'R' ^ 'O'};

RESPONSECODE OneByte(UCHAR byte, PDWORD length, PUCHAR value) {
  if (*length < 1) return IFD_ERROR_INSUFFICIENT_BUFFER;
  value[0] = byte;
  *length = 1;
  return IFD_SUCCESS;
}

}  // namespace

RESPONSECODE IFDHCreateChannelByName(DWORD, LPSTR) { return IFD_SUCCESS; }
RESPONSECODE IFDHCreateChannel(DWORD, DWORD) { return IFD_SUCCESS; }
RESPONSECODE IFDHCloseChannel(DWORD) { return IFD_SUCCESS; }

RESPONSECODE IFDHGetCapabilities(DWORD, DWORD tag, PDWORD length, PUCHAR value) {
  switch (tag) {
    case TAG_IFD_ATR:
      if (*length < sizeof kAtr) return IFD_ERROR_INSUFFICIENT_BUFFER;
      std::memcpy(value, kAtr, sizeof kAtr);
      *length = sizeof kAtr;
      return IFD_SUCCESS;
    case TAG_IFD_SLOTS_NUMBER:
    case TAG_IFD_SIMULTANEOUS_ACCESS:
    case TAG_IFD_THREAD_SAFE:
      return OneByte(1, length, value);
    case TAG_IFD_SLOT_THREAD_SAFE:
      return OneByte(0, length, value);
    default:
      return IFD_ERROR_TAG;
  }
}

RESPONSECODE IFDHSetCapabilities(DWORD, DWORD, DWORD, PUCHAR) { return IFD_ERROR_TAG; }
RESPONSECODE IFDHSetProtocolParameters(DWORD, DWORD, UCHAR, UCHAR, UCHAR, UCHAR) { return IFD_SUCCESS; }

RESPONSECODE IFDHPowerICC(DWORD, DWORD action, PUCHAR atr, PDWORD length) {
  if (action == IFD_POWER_DOWN) {
    *length = 0;
    return IFD_SUCCESS;
  }
  if (*length < sizeof kAtr) return IFD_ERROR_INSUFFICIENT_BUFFER;
  std::memcpy(atr, kAtr, sizeof kAtr);
  *length = sizeof kAtr;
  return IFD_SUCCESS;
}

RESPONSECODE IFDHTransmitToICC(DWORD, SCARD_IO_HEADER, PUCHAR tx, DWORD txLength, PUCHAR rx, PDWORD rxLength,
                               PSCARD_IO_HEADER) {
  DWORD n = 0;
  if (txLength == 5 && tx[1] == 0x84) n = tx[4] == 0 ? 256 : tx[4];
  if (*rxLength < n + 2) return IFD_ERROR_INSUFFICIENT_BUFFER;
  for (DWORD i = 0; i < n; ++i) rx[i] = static_cast<UCHAR>(i * 37 + 11);
  rx[n] = n != 0 ? 0x90 : 0x69;
  rx[n + 1] = n != 0 ? 0x00 : 0x86;
  *rxLength = n + 2;
  return IFD_SUCCESS;
}

RESPONSECODE IFDHControl(DWORD, DWORD, PUCHAR, DWORD, PUCHAR, DWORD, LPDWORD bytesReturned) {
  *bytesReturned = 0;
  return IFD_ERROR_NOT_SUPPORTED;
}

RESPONSECODE IFDHICCPresence(DWORD) { return IFD_ICC_PRESENT; }
