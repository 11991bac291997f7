// SmartcardUpdateCardCapabilities: the walk over the answer-to-reset of
// ISO/IEC 7816-3 clause 8, and the card state it leads to.
#include <cstring>

#include "platform/smclib/smclib.h"

namespace {

// ISO/IEC 7816-3 clause 8.3 table 7: clock rate conversion factor Fi and the
// maximum clock fmax (Hz) by the high nibble of TA1; 0 marks RFU values.
CLOCK_RATE_CONVERSION ClockRateConversion[16] = {
    {372, 4000000}, {372, 5000000},  {558, 6000000},   {744, 8000000},   {1116, 12000000}, {1488, 16000000},
    {1860, 20000000}, {0, 0},        {0, 0},           {512, 5000000},   {768, 7500000},   {1024, 10000000},
    {1536, 15000000}, {2048, 20000000}, {0, 0},        {0, 0}};

// Table 8: baud rate adjustment factor Di by the low nibble of TA1.
BIT_RATE_ADJUSTMENT BitRateAdjustment[16] = {{0, 0}, {1, 1},  {2, 1},  {4, 1}, {8, 1}, {16, 1}, {32, 1}, {64, 1},
                                             {12, 1}, {20, 1}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}};

constexpr ULONG kAtrCapacity = sizeof(decltype(SCARD_CARD_CAPABILITIES::ATR)::Buffer);

constexpr UCHAR kDirectConvention = 0x3B;
constexpr UCHAR kInverseConvention = 0x3F;
// TS of an inverse-convention card read as if it were direct.
constexpr UCHAR kInverseReadAsDirect = 0x03;

constexpr UCHAR kProtocolT0 = 0;
constexpr UCHAR kProtocolT1 = 1;
constexpr UCHAR kGlobalInterfaceBytes = 15;

// Defaults of clause 8.3 (Fi 372, Di 1, N 0), clause 10.2 (WI 10) and
// clause 11.4 (IFSC 32, CWI 13, BWI 4, LRC).
constexpr UCHAR kDefaultFl = 1;
constexpr UCHAR kDefaultDl = 1;
constexpr UCHAR kDefaultWi = 10;
constexpr UCHAR kDefaultIfsc = 32;
constexpr UCHAR kDefaultCwi = 13;
constexpr UCHAR kDefaultBwi = 4;

// An inverse-convention character read in the direct convention comes out
// complemented with its bit order reversed (clause 8.1).
UCHAR FromInverse(UCHAR read) {
  UCHAR value = 0;
  for (int bit = 0; bit < 8; ++bit) {
    if ((read & (1u << bit)) != 0) value = static_cast<UCHAR>(value | (0x80u >> bit));
  }
  return static_cast<UCHAR>(~value);
}

ULONG ProtocolMask(UCHAR protocol) { return protocol == kProtocolT0 ? SCARD_PROTOCOL_T0 : SCARD_PROTOCOL_T1; }

struct ParsedAtr {
  SCARD_CARD_CAPABILITIES capabilities;
  bool specificMode = false;
};

// Fills `parsed` from the ATR bytes; false for an ATR that cannot be used.
bool ParseAtr(UCHAR (&atr)[kAtrCapacity], ULONG length, ParsedAtr& parsed) {
  SCARD_CARD_CAPABILITIES& card = parsed.capabilities;
  if (length < 2 || length > sizeof(atr)) return false;
  if (atr[0] == kInverseReadAsDirect) {
    for (ULONG i = 0; i < length; ++i) atr[i] = FromInverse(atr[i]);
  }
  if (atr[0] != kDirectConvention && atr[0] != kInverseConvention) return false;
  card.InversConvention = atr[0] == kInverseConvention ? TRUE : FALSE;

  card.Fl = kDefaultFl;
  card.Dl = kDefaultDl;
  card.N = 0;
  card.II = 0;
  card.P = 0;
  card.T0.WI = kDefaultWi;
  card.T1.IFSC = kDefaultIfsc;
  card.T1.CWI = kDefaultCwi;
  card.T1.BWI = kDefaultBwi;
  card.T1.EDC = 0;
  card.Protocol.Supported = 0;

  ULONG pos = 1;
  UCHAR indicator = static_cast<UCHAR>(atr[pos] >> 4);
  const ULONG historicalCount = atr[pos] & 0x0F;
  ++pos;
  // The protocol that the interface bytes of group i belong to: group 1 is
  // global, each later group belongs to the protocol its TD names.
  int group = 1;
  int groupProtocol = -1;
  bool anyTd = false;
  bool tckRequired = false;
  bool t1Ta = false, t1Tb = false, t1Tc = false;
  for (;;) {
    UCHAR ta = 0, tb = 0, tc = 0, td = 0;
    const bool hasTa = (indicator & 0x1) != 0, hasTb = (indicator & 0x2) != 0;
    const bool hasTc = (indicator & 0x4) != 0, hasTd = (indicator & 0x8) != 0;
    if (hasTa) {
      if (pos >= length) return false;
      ta = atr[pos++];
    }
    if (hasTb) {
      if (pos >= length) return false;
      tb = atr[pos++];
    }
    if (hasTc) {
      if (pos >= length) return false;
      tc = atr[pos++];
    }
    if (hasTd) {
      if (pos >= length) return false;
      td = atr[pos++];
    }

    if (group == 1) {
      if (hasTa) {
        card.Fl = static_cast<UCHAR>(ta >> 4);
        card.Dl = static_cast<UCHAR>(ta & 0x0F);
      }
      if (hasTb) {
        card.II = static_cast<UCHAR>((tb >> 5) & 0x03);
        card.P = static_cast<UCHAR>(tb & 0x1F);
      }
      if (hasTc) card.N = tc;
    } else if (group == 2) {
      // TA2 present: the card is in specific mode with the protocol it names (clause 6.3.1).
      if (hasTa) {
        const UCHAR protocol = static_cast<UCHAR>(ta & 0x0F);
        if (protocol != kProtocolT0 && protocol != kProtocolT1) return false;
        card.Protocol.Selected = ProtocolMask(protocol);
        card.Protocol.Supported |= card.Protocol.Selected;
        parsed.specificMode = true;
      }
      if (hasTc) card.T0.WI = tc;
    }
    // From group 3 on, the first TA, TB and TC after a TD naming T=1 carry
    // IFSC, CWI and BWI, and the error detection code (clause 11.4).
    if (group >= 3 && groupProtocol == kProtocolT1) {
      if (hasTa && !t1Ta) {
        t1Ta = true;
        // IFSC 0x00 and 0xFF are reserved; the default stays.
        if (ta != 0x00 && ta != 0xFF) card.T1.IFSC = ta;
      }
      if (hasTb && !t1Tb) {
        t1Tb = true;
        card.T1.BWI = static_cast<UCHAR>(tb >> 4);
        card.T1.CWI = static_cast<UCHAR>(tb & 0x0F);
      }
      if (hasTc && !t1Tc) {
        t1Tc = true;
        card.T1.EDC = static_cast<UCHAR>(tc & 0x01);
      }
    }

    if (!hasTd) break;
    anyTd = true;
    const UCHAR protocol = static_cast<UCHAR>(td & 0x0F);
    // TCK is absent only when T=0 alone is indicated (clause 8.2.5).
    if (protocol != kProtocolT0) tckRequired = true;
    if (protocol == kProtocolT0 || protocol == kProtocolT1) card.Protocol.Supported |= ProtocolMask(protocol);
    groupProtocol = protocol == kGlobalInterfaceBytes ? -1 : protocol;
    indicator = static_cast<UCHAR>(td >> 4);
    ++group;
  }
  // Without TD1 the card offers T=0 only (clause 8.2.3).
  if (!anyTd) card.Protocol.Supported |= SCARD_PROTOCOL_T0;

  if (pos + historicalCount > length) return false;
  std::memcpy(card.HistoricalChars.Buffer, atr + pos, historicalCount);
  card.HistoricalChars.Length = static_cast<UCHAR>(historicalCount);
  pos += historicalCount;

  if (tckRequired) {
    if (pos >= length) return false;
    // The exclusive-or of T0 up to and including TCK is zero.
    UCHAR check = 0;
    for (ULONG i = 1; i <= pos; ++i) check = static_cast<UCHAR>(check ^ atr[i]);
    if (check != 0) return false;
  }
  // Bytes after the end of the ATR, such as a TCK that a T=0-only card
  // sends although none is asked for, are left as they are.
  card.ClockRateConversion = ClockRateConversion;
  card.BitRateAdjustment = BitRateAdjustment;
  return true;
}

}  // namespace

NTSTATUS NTAPI SmartcardUpdateCardCapabilities(PSMARTCARD_EXTENSION SmartcardExtension) {
  SCARD_CARD_CAPABILITIES& card = SmartcardExtension->CardCapabilities;
  // Walk a copy, so that a malformed ATR changes nothing.
  ParsedAtr parsed{card, false};
  UCHAR atr[kAtrCapacity];
  std::memcpy(atr, card.ATR.Buffer, sizeof(atr));
  if (!ParseAtr(atr, card.ATR.Length, parsed)) return STATUS_UNRECOGNIZED_MEDIA;
  std::memcpy(parsed.capabilities.ATR.Buffer, atr, sizeof(atr));
  card = parsed.capabilities;

  // The card state moves under the lock that the driver's own state changes take.
  PSMARTCARD_OS_DATA osData = SmartcardExtension->OsData;
  KIRQL irql = PASSIVE_LEVEL;
  if (osData != nullptr) KeAcquireSpinLock(&osData->SpinLock, &irql);
  ULONG& state = SmartcardExtension->ReaderCapabilities.CurrentState;
  // A card that went missing meanwhile stays missing.
  if (state > SCARD_ABSENT) state = parsed.specificMode ? SCARD_SPECIFIC : SCARD_NEGOTIABLE;
  if (osData != nullptr) KeReleaseSpinLock(&osData->SpinLock, irql);
  return STATUS_SUCCESS;
}
