// SmartcardUpdateCardCapabilities on a table of annotated ATRs (ISO/IEC
// 7816-3 clause 8), the card state it moves on, and the ATRs it refuses.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/platform/smclib/library_device.h"

namespace smclibtest {
namespace {

struct Walk {
  const char* name;
  Bytes atr;
  ULONG supported;
  ULONG state;  // after the walk, from SCARD_PRESENT
  ULONG selected;
  UCHAR fl, dl, n;
  UCHAR ifsc, cwi, bwi;
  Bytes historical;
};

class CardCapabilitiesTest : public ::testing::Test {
 protected:
  NTSTATUS Update(const Bytes& atr, ULONG state = SCARD_PRESENT) {
    SCARD_CARD_CAPABILITIES& card = extension.CardCapabilities;
    std::memset(card.ATR.Buffer, 0, sizeof(card.ATR.Buffer));
    if (!atr.empty()) std::memcpy(card.ATR.Buffer, atr.data(), atr.size() < sizeof(card.ATR.Buffer) ? atr.size() : 64);
    card.ATR.Length = static_cast<UCHAR>(atr.size());
    extension.ReaderCapabilities.CurrentState = state;
    return SmartcardUpdateCardCapabilities(&extension);
  }

  kernel::Platform platform{kernel::ClockMode::Simulated};
  SMARTCARD_EXTENSION extension{};
};

class AtrWalkTest : public CardCapabilitiesTest, public ::testing::WithParamInterface<Walk> {};

TEST_P(AtrWalkTest, CapabilitiesAndStateComeFromTheAtr) {
  const Walk& row = GetParam();
  ASSERT_EQ(Update(row.atr), STATUS_SUCCESS);
  const SCARD_CARD_CAPABILITIES& card = extension.CardCapabilities;
  EXPECT_EQ(card.Protocol.Supported, row.supported);
  EXPECT_EQ(extension.ReaderCapabilities.CurrentState, row.state);
  EXPECT_EQ(card.Protocol.Selected, row.selected);
  EXPECT_EQ(card.Fl, row.fl);
  EXPECT_EQ(card.Dl, row.dl);
  EXPECT_EQ(card.N, row.n);
  EXPECT_EQ(card.T1.IFSC, row.ifsc);
  EXPECT_EQ(card.T1.CWI, row.cwi);
  EXPECT_EQ(card.T1.BWI, row.bwi);
  EXPECT_EQ(Bytes(card.HistoricalChars.Buffer, card.HistoricalChars.Buffer + card.HistoricalChars.Length),
            row.historical);
  ASSERT_NE(card.ClockRateConversion, nullptr);
  ASSERT_NE(card.BitRateAdjustment, nullptr);
}

constexpr ULONG T0 = SCARD_PROTOCOL_T0;
constexpr ULONG T1 = SCARD_PROTOCOL_T1;
constexpr ULONG Negotiable = SCARD_NEGOTIABLE;
constexpr ULONG Specific = SCARD_SPECIFIC;

INSTANTIATE_TEST_SUITE_P(
    AnnotatedAtrs, AtrWalkTest,
    ::testing::Values(
        // TS direct; T0: nothing but K = 0. No TD1: T=0 only, every default.
        Walk{"Minimal", {0x3B, 0x00}, T0, Negotiable, 0, 1, 1, 0, 32, 13, 4, {}},
        // T0 = 02: two historical bytes; T=0 only, so no TCK.
        Walk{"TwoHistoricalBytes", {0x3B, 0x02, 0x14, 0x50}, T0, Negotiable, 0, 1, 1, 0, 32, 13, 4, {0x14, 0x50}},
        // A T=0-only card that sends a TCK all the same: the extra byte is left alone.
        Walk{"UnaskedTck", {0x3B, 0x02, 0x14, 0x50, 0x46}, T0, Negotiable, 0, 1, 1, 0, 32, 13, 4, {0x14, 0x50}},
        // T0 = F0: TA1 96 (Fi index 9, Di index 6), TB1 25, TC1 02 (N 2), TD1 40 (TC2 follows, T=0);
        // TC2 14 (WI 20).
        Walk{"GlobalBytes", {0x3B, 0xF0, 0x96, 0x25, 0x02, 0x40, 0x14}, T0, Negotiable, 0, 9, 6, 2, 32, 13, 4, {}},
        // T0 = E9: TB1 00, TC1 00, TD1 81 (TD2, T=1); TD2 31 (TA3, TB3, T=1); TA3 FE = IFSC 254;
        // TB3 45 = BWI 4, CWI 5; nine historical bytes "JCOP41V22"; TCK A7.
        Walk{"T1WithIfsc",
             {0x3B, 0xE9, 0x00, 0x00, 0x81, 0x31, 0xFE, 0x45, 0x4A, 0x43, 0x4F, 0x50, 0x34, 0x31, 0x56, 0x32, 0x32,
              0xA7},
             T1, Negotiable, 0, 1, 1, 0, 254, 5, 4, {0x4A, 0x43, 0x4F, 0x50, 0x34, 0x31, 0x56, 0x32, 0x32}},
        // T0 = 80: TD1 80 (TD2, T=0); TD2 01 (T=1): both offered; TCK 01.
        Walk{"BothProtocols", {0x3B, 0x80, 0x80, 0x01, 0x01}, T0 | T1, Negotiable, 0, 1, 1, 0, 32, 13, 4, {}},
        // TD1 80 (T=0); TD2 1F (TA3, T=15): TA3 07 is a global byte, not an IFSC; TCK 18.
        Walk{"GlobalGroupIsNoT1", {0x3B, 0x80, 0x80, 0x1F, 0x07, 0x18}, T0, Negotiable, 0, 1, 1, 0, 32, 13, 4, {}},
        // TD1 81 (T=1); TD2 B1 (TA3, TB3, TD3, T=1): IFSC FE, BWI 4 CWI 5; TD3 11 (TA4, T=1): TA4 20 is
        // the second T=1 TA and no IFSC; TCK 3A.
        Walk{"OnlyTheFirstT1BytesCount",
             {0x3B, 0x80, 0x81, 0xB1, 0xFE, 0x45, 0x11, 0x20, 0x3A},
             T1, Negotiable, 0, 1, 1, 0, 254, 5, 4, {}},
        // T0 = 90: TA1 11, TD1 11 (TA2, T=1); TA2 01: specific mode, T=1; TCK 91.
        Walk{"SpecificT1", {0x3B, 0x90, 0x11, 0x11, 0x01, 0x91}, T1, Specific, T1, 1, 1, 0, 32, 13, 4, {}},
        // TD1 10 (TA2, T=0); TA2 80: specific mode T=0 (unable to change); T=0 only, no TCK.
        Walk{"SpecificT0", {0x3B, 0x90, 0x11, 0x10, 0x80}, T0, Specific, T0, 1, 1, 0, 32, 13, 4, {}},
        // Inverse convention, decoded by the reader already.
        Walk{"InverseConvention", {0x3F, 0x00}, T0, Negotiable, 0, 1, 1, 0, 32, 13, 4, {}}),
    [](const ::testing::TestParamInfo<Walk>& info) { return std::string(info.param.name); });

TEST_F(CardCapabilitiesTest, ConventionIsRecorded) {
  ASSERT_EQ(Update({0x3B, 0x00}), STATUS_SUCCESS);
  EXPECT_EQ(extension.CardCapabilities.InversConvention, FALSE);
  ASSERT_EQ(Update({0x3F, 0x00}), STATUS_SUCCESS);
  EXPECT_EQ(extension.CardCapabilities.InversConvention, TRUE);
  // 3F 00 of an inverse-convention card read as direct comes as 03 FF: decoded in place.
  ASSERT_EQ(Update({0x03, 0xFF}), STATUS_SUCCESS);
  EXPECT_EQ(extension.CardCapabilities.InversConvention, TRUE);
  EXPECT_EQ(extension.CardCapabilities.ATR.Buffer[0], 0x3F);
  EXPECT_EQ(extension.CardCapabilities.ATR.Buffer[1], 0x00);
}

TEST_F(CardCapabilitiesTest, FactorsComeFromTheTablesOfClause8) {
  ASSERT_EQ(Update({0x3B, 0x10, 0x96}), STATUS_SUCCESS);
  const SCARD_CARD_CAPABILITIES& card = extension.CardCapabilities;
  EXPECT_EQ(card.ClockRateConversion[card.Fl].F, 512u);
  EXPECT_EQ(card.ClockRateConversion[card.Fl].fs, 5000000u);
  EXPECT_EQ(card.BitRateAdjustment[card.Dl].DNumerator, 32u);
  EXPECT_EQ(card.ClockRateConversion[1].F, 372u);
  EXPECT_EQ(card.BitRateAdjustment[1].DNumerator, 1u);
  EXPECT_EQ(card.ClockRateConversion[7].F, 0u) << "reserved";
}

TEST_F(CardCapabilitiesTest, MalformedAtrsAreRefusedAndChangeNothing) {
  struct Bad {
    const char* name;
    Bytes atr;
  };
  const Bad table[] = {
      {"empty", {}},
      {"TS only", {0x3B}},
      {"unknown TS", {0x3A, 0x00}},
      {"historical bytes run past the end", {0x3B, 0x02, 0x14}},
      {"announced TA1 missing", {0x3B, 0x10}},
      {"announced TD1 missing", {0x3B, 0x80}},
      {"announced TB3 missing", {0x3B, 0x80, 0x21, 0xFE}},
      {"TCK missing", {0x3B, 0x80, 0x01}},
      {"TCK wrong", {0x3B, 0x80, 0x01, 0x82}},
      {"TA2 names T=2", {0x3B, 0x90, 0x11, 0x10, 0x02}},
  };
  for (const Bad& bad : table) {
    // What a good ATR left behind stays.
    ASSERT_EQ(Update({0x3B, 0x02, 0x14, 0x50}), STATUS_SUCCESS);
    const SCARD_CARD_CAPABILITIES before = extension.CardCapabilities;
    EXPECT_EQ(Update(bad.atr, SCARD_PRESENT), STATUS_UNRECOGNIZED_MEDIA) << bad.name;
    EXPECT_EQ(extension.ReaderCapabilities.CurrentState, SCARD_PRESENT) << bad.name;
    EXPECT_EQ(extension.CardCapabilities.Protocol.Supported, before.Protocol.Supported) << bad.name;
    EXPECT_EQ(extension.CardCapabilities.HistoricalChars.Length, before.HistoricalChars.Length) << bad.name;
  }
  // A length past the 64-byte field.
  ASSERT_EQ(Update({0x3B, 0x00}), STATUS_SUCCESS);
  extension.CardCapabilities.ATR.Length = 65;
  extension.ReaderCapabilities.CurrentState = SCARD_PRESENT;
  EXPECT_EQ(SmartcardUpdateCardCapabilities(&extension), STATUS_UNRECOGNIZED_MEDIA);
}

TEST_F(CardCapabilitiesTest, StateMovesOnOnlyForACardThatIsThere) {
  // A reset after a protocol was chosen brings the card back to negotiable mode.
  EXPECT_EQ(Update({0x3B, 0x00}, SCARD_SPECIFIC), STATUS_SUCCESS);
  EXPECT_EQ(extension.ReaderCapabilities.CurrentState, SCARD_NEGOTIABLE);
  // A card that was reported gone meanwhile, or never seen, is not brought back.
  EXPECT_EQ(Update({0x3B, 0x00}, SCARD_ABSENT), STATUS_SUCCESS);
  EXPECT_EQ(extension.ReaderCapabilities.CurrentState, SCARD_ABSENT);
  EXPECT_EQ(Update({0x3B, 0x00}, SCARD_UNKNOWN), STATUS_SUCCESS);
  EXPECT_EQ(extension.ReaderCapabilities.CurrentState, SCARD_UNKNOWN);
}

TEST_F(CardCapabilitiesTest, SelectionOutlivesANegotiableReset) {
  ASSERT_EQ(Update({0x3B, 0x90, 0x11, 0x11, 0x01, 0x91}), STATUS_SUCCESS);
  EXPECT_EQ(extension.CardCapabilities.Protocol.Selected, SCARD_PROTOCOL_T1);
  ASSERT_EQ(Update({0x3B, 0x00}), STATUS_SUCCESS);
  EXPECT_EQ(extension.CardCapabilities.Protocol.Selected, SCARD_PROTOCOL_T1)
      << "the record of the last selection is the driver's to change";
}

TEST(CardCapabilitiesWithLibraryTest, StateChangesUnderTheLibrarysLock) {
  LibraryDevice device;
  SMARTCARD_EXTENSION& extension = device.Extension();
  extension.CardCapabilities.ATR.Buffer[0] = 0x3B;
  extension.CardCapabilities.ATR.Buffer[1] = 0x00;
  extension.CardCapabilities.ATR.Length = 2;
  extension.ReaderCapabilities.CurrentState = SCARD_PRESENT;
  EXPECT_EQ(SmartcardUpdateCardCapabilities(&extension), STATUS_SUCCESS);
  EXPECT_EQ(extension.ReaderCapabilities.CurrentState, SCARD_NEGOTIABLE);
  EXPECT_EQ(extension.OsData->SpinLock, 0u) << "released again";
}

}  // namespace
}  // namespace smclibtest
