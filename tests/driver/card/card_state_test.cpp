// The card's power, set-protocol and eject requests through the smart-card
// library and the emulated reader, one row per behaviour: the commands the
// reader received, what the caller got, and the state left behind.
#include <optional>

#include <gtest/gtest.h>

#include "driver/card/reader_functions.h"
#include "emulator/reader/frame.h"
#include "tests/driver/card/transmit_device.h"

namespace {

using transmittest::Bytes;
using transmittest::Hex;

constexpr ULONG T0 = SCARD_PROTOCOL_T0, T1 = SCARD_PROTOCOL_T1, Both = T0 | T1, Raw = SCARD_PROTOCOL_RAW;
constexpr ULONG Power = IOCTL_SMARTCARD_POWER, Select = IOCTL_SMARTCARD_SET_PROTOCOL, Eject = IOCTL_SMARTCARD_EJECT;
constexpr ULONG Cold = SCARD_COLD_RESET, Warm = SCARD_WARM_RESET, Down = SCARD_POWER_DOWN;
constexpr ULONG Absent = SCARD_ABSENT, Present = SCARD_PRESENT, Negotiable = SCARD_NEGOTIABLE, Specific = SCARD_SPECIFIC;
constexpr NTSTATUS OK = STATUS_SUCCESS, Refused = STATUS_INVALID_DEVICE_REQUEST, NoMedia = STATUS_NO_MEDIA;
constexpr NTSTATUS Timeout = STATUS_IO_TIMEOUT, DataError = STATUS_DEVICE_DATA_ERROR;
const emu::ReplyFault Answered = emu::ReplyFault::Delay(0), Unanswered = emu::ReplyFault::NoReply();

// A T=1 card whose ATR names its IFSC (TA3 = 0x80) and BWI (TB3 = 0x45).
const char* const IfscAtr = "3B 82 81 31 80 45 54 31 92";  // T0 TD1 TD2 TA3 TB3, historical 54 31, TCK
enum class Card { None, Ifsc, Dual, T0Only, T1Only, CutAtr };
// How the card was left before the request; then T1Sequence 0x50 and IFSC
// 0x11 stand in the fields a reset must rewrite.
enum class Before { Present, Reset, Selected };
enum class Tracking { None, Completes, Waits };  // an IS_ABSENT request waiting meanwhile

emu::CardConfig ConfigOf(Card card) {
  emu::CardConfig config;
  if (card == Card::Ifsc) config.atr = {.t0 = false, .tb3 = 0x45, .ta3 = 0x80, .historical = {0x54, 0x31}};
  config.atr.t0 = card != Card::T1Only && card != Card::Ifsc;
  config.atr.t1 = card != Card::T0Only;
  if (card == Card::CutAtr) config.atrOverride = Hex("3B 8F 80");  // TD1 and 15 historical bytes that never come
  return config;
}

struct Row {
  const char* firmware;
  Card card;
  Before before;
  ULONG ioctl, argument;  // the power operation or the protocol mask
  std::vector<emu::ReplyFault> faults;
  Tracking tracking;
  NTSTATUS status;
  const char* output;
  std::vector<const char*> commands;  // information bytes; the control byte alternates from the first
  ULONG state, selected;
  UCHAR sequence, ifsc;  // T1Sequence and T1.IFSC afterwards
  ULONG replyLength = 64;
};

// clang-format off
const Row Rows[] = {
    // Power: status, reset (parameter byte: bit 0 T=1, bit 1 warm), ATR; the ATR and the card's IFSC published.
    {"2.27", Card::Ifsc, Before::Present, Power, Cold, {}, Tracking::None, OK, IfscAtr,
     {"01 31", "01 D1 00", "01 35 0A 00"}, Negotiable, 0, 0, 0x80},
    {"2.27", Card::Ifsc, Before::Reset, Power, Warm, {}, Tracking::None, OK, IfscAtr,
     {"01 31", "01 D1 03", "01 35 0A 00"}, Negotiable, 0, 0, 0x80},
    {"1.50", Card::Ifsc, Before::Present, Power, Cold, {}, Tracking::None, OK, IfscAtr,  // the old frame generation
     {"01 31", "01 D1", "01 35 0A 00"}, Negotiable, 0, 0, 0x80},
    // The caller's buffer cannot take the ATR: none of it, but the card was reset and is published.
    {"2.27", Card::Ifsc, Before::Present, Power, Cold, {}, Tracking::None, STATUS_BUFFER_TOO_SMALL, "",
     {"01 31", "01 D1 00", "01 35 0A 00"}, Negotiable, 0, 0, 0x80, 8},
    // A reset or an ATR read that fails publishes nothing.
    {"2.27", Card::Ifsc, Before::Present, Power, Cold, {Answered, Unanswered}, Tracking::None, Timeout, "",
     {"01 31", "01 D1 00"}, Present, 0, 0x50, 32},
    // The ATR reply is 17 bytes: 12 s 0D, 01 35, the 9 ATR bytes, 90 00, check byte; 16 of them come.
    {"2.27", Card::Ifsc, Before::Present, Power, Cold, {Answered, Answered, emu::ReplyFault::Truncate(16)},
     Tracking::None, Timeout, "", {"01 31", "01 D1 00", "01 35 0A 00"}, Present, 0, 0x50, 32},
    {"2.27", Card::Ifsc, Before::Present, Power, Cold, {Answered, Answered, Unanswered}, Tracking::None, DataError,
     "", {"01 31", "01 D1 00", "01 35 0A 00"}, Present, 0, 0x50, 32},
    {"2.27", Card::CutAtr, Before::Present, Power, Cold, {}, Tracking::None, DataError, "",
     {"01 31", "01 D1 00", "01 35 0A 00"}, Present, 0, 0x50, 32},
    // Without a card only the status is asked; a reset tells a waiting request, a power down leaves it to the poll.
    {"2.27", Card::None, Before::Present, Power, Cold, {}, Tracking::Completes, NoMedia, "", {"01 31"}, Absent, 0,
     0x50, 0x11},
    {"2.27", Card::None, Before::Present, Power, Down, {}, Tracking::Waits, NoMedia, "", {"01 31"}, Absent, 0, 0x50,
     0x11},
    {"2.27", Card::Ifsc, Before::Selected, Power, Down, {}, Tracking::None, OK, "", {"01 31"}, Present, T1, 0x50, 0x11},
    {"2.27", Card::Ifsc, Before::Present, Power, 3, {}, Tracking::None, Refused, "", {}, Present, 0, 0x50, 0x11},
    // Set-protocol: T=1 first among what is asked for, offered and reachable; the card reset into it.
    {"2.27", Card::Dual, Before::Reset, Select, Both, {}, Tracking::None, OK, "02 00 00 00", {"01 D1 01"},
     Specific, T1, 0, 0x11},
    {"2.27", Card::Dual, Before::Reset, Select, T0, {}, Tracking::None, OK, "01 00 00 00", {"01 D1 00"},
     Specific, T0, 0, 0x11},
    // Nothing selected: the card is reset all the same, for T=1 when T=0 was not asked for.
    {"2.27", Card::Dual, Before::Reset, Select, Raw, {}, Tracking::None, Refused, "", {"01 D1 01"}, Negotiable, 0, 0,
     0x11},
    {"2.27", Card::T1Only, Before::Reset, Select, T0, {}, Tracking::None, Refused, "", {"01 D1 00"}, Negotiable, 0,
     0, 0x11},
    {"2.27", Card::T0Only, Before::Reset, Select, T1, {}, Tracking::None, Refused, "", {"01 D1 01"}, Negotiable, 0,
     0, 0x11},
    {"2.27", Card::T0Only, Before::Reset, Select, Both, {}, Tracking::None, OK, "01 00 00 00", {"01 D1 00"},
     Specific, T0, 0, 0x11},
    // A reader without the parameter byte runs T=0 whenever the card offers it.
    {"2.10", Card::Dual, Before::Reset, Select, Both, {}, Tracking::None, OK, "01 00 00 00", {"01 D1"}, Specific, T0,
     0, 0x11},
    {"2.10", Card::Dual, Before::Reset, Select, T1, {}, Tracking::None, Refused, "", {"01 D1"}, Negotiable, 0, 0,
     0x11},
    {"2.10", Card::T1Only, Before::Reset, Select, Both, {}, Tracking::None, OK, "02 00 00 00", {"01 D1"}, Specific,
     T1, 0, 0x11},
    // In specific mode only a reset, into the protocol recorded whatever the mask.
    {"2.27", Card::Dual, Before::Selected, Select, T0, {}, Tracking::None, OK, "", {"01 D1 01"}, Specific, T1, 0,
     0x11},
    {"2.27", Card::Dual, Before::Reset, Select, T1, {Unanswered}, Tracking::None, Timeout, "", {"01 D1 01"},
     Negotiable, 0, 0x50, 0x11},
    // Eject: the card recorded absent either way, the reader's no-card byte 0xAD or not.
    {"2.27", Card::Ifsc, Before::Present, Eject, 0, {}, Tracking::Completes, OK, "", {"01 39"}, Absent, 0, 0x50, 0x11},
    {"2.27", Card::None, Before::Present, Eject, 0, {}, Tracking::Completes, NoMedia, "", {"01 39"}, Absent, 0, 0x50,
     0x11},
    {"1.50", Card::Ifsc, Before::Present, Eject, 0, {}, Tracking::Completes, OK, "", {"01 39"}, Absent, 0, 0x50, 0x11},
    {"1.50", Card::None, Before::Present, Eject, 0, {}, Tracking::Completes, NoMedia, "", {"01 39"}, Absent, 0, 0x50,
     0x11},
    // A reply that says nothing of the card leaves its state alone; 10 00 00 02 xx xx is too short to.
    {"2.27", Card::Ifsc, Before::Present, Eject, 0, {Unanswered}, Tracking::None, Timeout, "", {"01 39"}, Present, 0,
     0x50, 0x11},
    {"1.50", Card::Ifsc, Before::Present, Eject, 0, {emu::ReplyFault::Oversized(2)}, Tracking::None, DataError, "",
     {"01 39"}, Present, 0, 0x50, 0x11},
};
// clang-format on

TEST(CardRequests, SendTheReaderCommandsAndLeaveTheCardState) {
  for (const Row& row : Rows) {
    SCOPED_TRACE(testing::Message() << "row " << &row - Rows);
    readertest::ServedReader reader(readertest::ReaderWithFirmware(row.firmware));
    if (row.card != Card::None) reader.InsertCard(std::make_shared<emu::Card>(ConfigOf(row.card)));
    reader.SettleReader();
    reader.SetCardStateField(SCARD_PRESENT);  // as a poll would have seen it
    if (row.before != Before::Present) reader.Power(Cold);
    if (row.before == Before::Selected) reader.SetProtocol(T1);
    reader.Context().T1Sequence = 0x50;
    reader.Extension().T1.IFSC = 0x11;
    reader.ClearTrace();
    auto waiting = row.tracking != Tracking::None ? reader.Begin(IOCTL_SMARTCARD_IS_ABSENT) : nullptr;
    const UCHAR s = reader.Context().SequenceByte;
    for (const emu::ReplyFault& fault : row.faults) reader.Reader().ScriptFault(fault);

    const kernel::IoResult result = row.ioctl == Eject ? reader.Control(Eject, {}, 0)
                                    : row.ioctl == Power ? reader.Power(row.argument, row.replyLength)
                                                         : reader.SetProtocol(row.argument);
    EXPECT_EQ(result.status, row.status);
    EXPECT_EQ(result.output, Hex(row.output));
    std::vector<Bytes> commands;
    for (const char* info : row.commands) {
      commands.push_back(row.firmware[0] == '1' ? emu::BuildOldFrame(0x10, Hex(info))
                                                : emu::BuildNewFrame(0x12, s ^ (commands.size() % 2 ? 0x40 : 0), Hex(info)));
    }
    EXPECT_EQ(reader.Frames(), commands);
    EXPECT_EQ(reader.CardState(), row.state);
    const SCARD_CARD_CAPABILITIES& card = reader.Extension().CardCapabilities;
    EXPECT_EQ(card.Protocol.Selected, row.selected);
    EXPECT_EQ(reader.Context().T1Sequence, row.sequence);
    EXPECT_EQ(reader.Extension().T1.IFSC, row.ifsc);
    if (row.ioctl == Power && row.before == Before::Present) {
      EXPECT_EQ(Bytes(card.ATR.Buffer, card.ATR.Buffer + card.ATR.Length), Hex(row.ifsc == 0x80 ? IfscAtr : ""));
    }
    if (waiting) {
      EXPECT_EQ(waiting->Done(), row.tracking == Tracking::Completes);
      waiting->Cancel();
      EXPECT_EQ(waiting->Wait().status, row.tracking == Tracking::Completes ? OK : STATUS_CANCELLED);
    }
  }
}

TEST(CardSetProtocol, RefusesAShortReplyBufferBeforeTouchingTheCard) {
  // The library refuses it itself; the driver does not rely on that.
  readertest::ServedReader reader;
  reader.SettleReader();
  ULONG information = 0x77;
  UCHAR reply[3] = {};
  reader.Extension().MinorIoControlCode = T1;
  reader.Extension().IoRequest = {&information, nullptr, 0, reply, sizeof(reply)};
  EXPECT_EQ(CardSetProtocol(&reader.Extension()), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(information, 0x77u);
  EXPECT_TRUE(reader.Frames().empty());
}

// The decision between a selection and a mere reset is taken under the reader lock, after a presence poll
// in progress: here the poll finds the card gone (its reply held back 500 ms) while another is put in.
TEST(CardSetProtocol, DecidesAfterAPresencePollInProgress) {
  readertest::ServedReader reader;
  reader.InsertCard(std::make_shared<emu::Card>(ConfigOf(Card::Dual)));
  reader.SettleReader();
  reader.SetCardStateField(SCARD_PRESENT);
  reader.Power(Cold);
  ASSERT_EQ(reader.SetProtocol(T1).status, OK);
  auto waiting = reader.Begin(IOCTL_SMARTCARD_IS_ABSENT);  // the poll runs every 500 ms
  reader.Reader().ScriptFault(emu::ReplyFault::Delay(500 * kernel::kMillisecond));
  reader.Reader().RemoveCard();
  readertest::ServedReader::Wait(550 * kernel::kMillisecond);
  reader.InsertCard(std::make_shared<emu::Card>(ConfigOf(Card::Dual)));
  const kernel::IoResult result = reader.SetProtocol(T1);
  EXPECT_EQ(waiting->Wait().status, OK);
  EXPECT_EQ(result.status, OK);
  EXPECT_EQ(result.output, Hex("02 00 00 00"));  // a selection, not the reset of a protocol in force
  EXPECT_EQ(reader.CardState(), Specific);
}

}  // namespace
