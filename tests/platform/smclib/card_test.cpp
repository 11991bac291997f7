// What the library derives from the card: SmartcardUpdateCardCapabilities on
// annotated ATRs (the factors read through its conversion tables), the ATRs
// it refuses, and the attributes a reader driver's callers read.
#include "tests/platform/smclib/library_device.h"

namespace smclibtest {
namespace {

constexpr ULONG T0 = SCARD_PROTOCOL_T0, T1 = SCARD_PROTOCOL_T1;

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
      // TS direct, T0 00: T=0 only, every default (Fi 372 at 5 MHz, Di 1, WI 10, IFSC 32, CWI 13, BWI 4).
      {{0x3B, 0x00}, T0, SCARD_NEGOTIABLE, 0, 372, 5000000, 1, 0, 10, 32, 13, 4, 0},
      // T0 F2: TA1 96 (Fi 512 at 5 MHz, Di 32), TB1 25, TC1 02 (N 2), TD1 40 (TC2, T=0); TC2 14 (WI 20);
      // two historical bytes, no TCK for T=0 only.
      {{0x3B, 0xF2, 0x96, 0x25, 0x02, 0x40, 0x14, 0x14, 0x50},
       T0,
       SCARD_NEGOTIABLE,
       0,
       512,
       5000000,
       32,
       2,
       20,
       32,
       13,
       4,
       2},
      // T0 E9: TB1 00, TC1 00, TD1 81 (T=1); TD2 31 (TA3, TB3, T=1): IFSC FE, BWI 4 CWI 5; nine historical; TCK A7.
      {{0x3B, 0xE9, 0x00, 0x00, 0x81, 0x31, 0xFE, 0x45, 0x4A, 0x43, 0x4F, 0x50, 0x34, 0x31, 0x56, 0x32, 0x32, 0xA7},
       T1,
       SCARD_NEGOTIABLE,
       0,
       372,
       5000000,
       1,
       0,
       10,
       254,
       5,
       4,
       9},
      // TD1 80 (T=0); TD2 01 (T=1): both offered; TCK 01.
      {{0x3B, 0x80, 0x80, 0x01, 0x01}, T0 | T1, SCARD_NEGOTIABLE, 0, 372, 5000000, 1, 0, 10, 32, 13, 4, 0},
      // TD1 80; TD2 1F (TA3, T=15): TA3 07 is a global byte, no IFSC; TCK 18.
      {{0x3B, 0x80, 0x80, 0x1F, 0x07, 0x18}, T0, SCARD_NEGOTIABLE, 0, 372, 5000000, 1, 0, 10, 32, 13, 4, 0},
      // TD1 81; TD2 B1 (TA3 FE, TB3 45, TD3 11): TA4 20 is the second T=1 TA and no IFSC; TCK 3A.
      {{0x3B, 0x80, 0x81, 0xB1, 0xFE, 0x45, 0x11, 0x20, 0x3A},
       T1,
       SCARD_NEGOTIABLE,
       0,
       372,
       5000000,
       1,
       0,
       10,
       254,
       5,
       4,
       0},
      // T0 90: TA1 11, TD1 11 (TA2, T=1); TA2 01: specific mode in T=1; TCK 91.
      {{0x3B, 0x90, 0x11, 0x11, 0x01, 0x91}, T1, SCARD_SPECIFIC, T1, 372, 5000000, 1, 0, 10, 32, 13, 4, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.atr));
    kernel::Platform platform{kernel::ClockMode::Simulated};
    SMARTCARD_EXTENSION e{};
    ASSERT_EQ(Update(e, row.atr), STATUS_SUCCESS);
    const SCARD_CARD_CAPABILITIES& card = e.CardCapabilities;
    EXPECT_EQ(card.Protocol.Supported, row.supported);
    EXPECT_EQ(e.ReaderCapabilities.CurrentState, row.state);
    EXPECT_EQ(card.Protocol.Selected, row.selected);
    EXPECT_EQ(card.ClockRateConversion[card.Fl].F, row.f);
    EXPECT_EQ(card.ClockRateConversion[card.Fl].fs, row.fMaxClock);
    EXPECT_EQ(card.BitRateAdjustment[card.Dl].DNumerator, row.d);
    EXPECT_EQ(card.BitRateAdjustment[card.Dl].DDivisor, 1u);
    EXPECT_EQ(card.N, row.n);
    EXPECT_EQ(card.T0.WI, row.wi);
    EXPECT_EQ(card.T1.IFSC, row.ifsc);
    EXPECT_EQ(card.T1.CWI, row.cwi);
    EXPECT_EQ(card.T1.BWI, row.bwi);
    EXPECT_EQ(card.HistoricalChars.Length, row.historical);
  }
}

TEST(CardTest, MalformedAtrsAreRefusedAndChangeNothing) {
  kernel::Platform platform{kernel::ClockMode::Simulated};
  const Bytes bad[] = {
      {},                              // empty
      {0x3B},                          // TS only
      {0x3A, 0x00},                    // unknown TS
      {0x3B, 0x02, 0x14},              // historical bytes run past the end
      {0x3B, 0x10},                    // announced TA1 missing
      {0x3B, 0x80, 0x21, 0xFE},        // announced TB3 missing
      {0x3B, 0x80, 0x01},              // TCK missing
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
  // A card reported gone meanwhile is not brought back; a reset after a selection negotiates again.
  SMARTCARD_EXTENSION e{};
  e.CardCapabilities.ATR.Length = 65;  // past the field
  EXPECT_EQ(SmartcardUpdateCardCapabilities(&e), STATUS_UNRECOGNIZED_MEDIA);
  EXPECT_EQ(Update(e, {0x3B, 0x00}, SCARD_ABSENT), STATUS_SUCCESS);
  EXPECT_EQ(e.ReaderCapabilities.CurrentState, SCARD_ABSENT);
  EXPECT_EQ(Update(e, {0x3B, 0x00}, SCARD_SPECIFIC), STATUS_SUCCESS);
  EXPECT_EQ(e.ReaderCapabilities.CurrentState, SCARD_NEGOTIABLE);
}

TEST(CardTest, AttributesAnswerFromTheExtensionAndItsState) {
  LibraryDevice device;
  SMARTCARD_EXTENSION& e = device.Extension();
  e.VendorAttr.IfdVersion.VersionMajor = 2;
  e.VendorAttr.IfdVersion.VersionMinor = 0x27;
  e.ReaderCapabilities.ReaderType = SCARD_READER_TYPE_USB;
  e.ReaderCapabilities.Channel = 1;
  ASSERT_EQ(Update(e, {0x3B, 0x90, 0x11, 0x11, 0x01, 0x91}), STATUS_SUCCESS);
  auto get = [&](ULONG tag, ULONG room = 64) {
    return device.Control(IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(tag), room);
  };
  EXPECT_EQ(get(SCARD_ATTR_VENDOR_IFD_VERSION).output, Ulong(0x02270000)) << "0xMMmmbbbb";
  EXPECT_EQ(get(SCARD_ATTR_CHANNEL_ID).output, Ulong(0x00200001)) << "0xDDDDCCCC: USB, channel 1";
  EXPECT_EQ(get(SCARD_ATTR_ATR_STRING).output, (Bytes{0x3B, 0x90, 0x11, 0x11, 0x01, 0x91}));
  EXPECT_EQ(get(SCARD_ATTR_CURRENT_PROTOCOL_TYPE).output, Ulong(T1));
  EXPECT_EQ(get(SCARD_ATTR_ICC_PRESENCE, 0).status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(device.Control(IOCTL_SMARTCARD_GET_ATTRIBUTE, {0, 1, 1}, 64).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(get(SCARD_ATTR_VENDOR_IFD_SERIAL_NO).status, STATUS_NOT_SUPPORTED) << "left empty by the driver";
  e.ReaderCapabilities.CurrentState = SCARD_PRESENT;
  EXPECT_EQ(get(SCARD_ATTR_ICC_PRESENCE).output, Bytes{1}) << "there, not powered";
  EXPECT_EQ(get(SCARD_ATTR_CURRENT_PROTOCOL_TYPE).output, Ulong(0)) << "no protocol outside SCARD_SPECIFIC";
  e.ReaderCapabilities.CurrentState = SCARD_ABSENT;
  EXPECT_EQ(get(SCARD_ATTR_ATR_STRING).status, STATUS_NO_MEDIA) << "no ATR of a card that is gone";
}

}  // namespace
}  // namespace smclibtest
