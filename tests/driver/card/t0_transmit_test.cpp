// The T=0 path through the emulated reader and card: the frames on the wire,
// NULL procedure bytes, and the replies that are no answer.
#include <gtest/gtest.h>

#include "driver/card/transmit_paths.h"
#include "emulator/reader/frame.h"
#include "platform/kernel/platform.h"
#include "tests/driver/card/transmit_device.h"

namespace {

using namespace transmittest;

Bytes T0Frame(UCHAR control, const Bytes& tpdu) { return emu::BuildT0Frame(control, tpdu); }

TEST(T0Path, SendsTheReducedCommandInOneFrame) {
  struct Case {
    const char* what;
    Bytes command;
    Bytes tpdu;
  };
  const Case cases[] = {
      {"case 1: a 9-byte frame", {0x00, 0xA4, 0x00, 0x00}, {0x00, 0xA4, 0x00, 0x00}},
      {"case 4: Le dropped", {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00, 0x00},
       {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}},
      {"extended case 2", {0x00, 0xB0, 0x81, 0x00, 0x00, 0x00, 0x04}, {0x00, 0xB0, 0x81, 0x00, 0x04}},
  };
  TransmitDevice d(Path::T0);
  for (const Case& c : cases) {
    const Transmission t = d.Transmit(c.command);
    EXPECT_EQ(t.status, STATUS_SUCCESS) << c.what;
    EXPECT_EQ(d.Written(), std::vector<Bytes>{T0Frame(0x00, c.tpdu)}) << c.what;
    EXPECT_EQ(t.header, d.Header()) << c.what;
  }
  // READ BINARY of 4 bytes from short EF 1: its first bytes and 90 00.
  const Transmission read = d.Transmit({0x00, 0xB0, 0x81, 0x00, 0x04});
  EXPECT_EQ(read.information, 8u + 6u);
  EXPECT_EQ(Bytes(read.response.end() - 2, read.response.end()), (Bytes{0x90, 0x00}));

  // The control byte carries the send sequence bit of T1Sequence.
  d.Context().T1Sequence = 0x50;
  d.Transmit(cases[0].command);
  EXPECT_EQ(d.Written(), std::vector<Bytes>{T0Frame(0x40, cases[0].tpdu)});
}

TEST(T0Path, EndsAFrameOf64BytesWithAZeroLengthPacket) {
  TransmitDevice d(Path::T0);
  const Bytes command = Concat({{0x00, 0xD6, 0x81, 0x00, 54}, Pattern(54)});  // 59 bytes, a 64-byte frame
  EXPECT_EQ(d.Transmit(command).status, STATUS_SUCCESS);
  EXPECT_EQ(d.Written(), (std::vector<Bytes>{T0Frame(0x00, command), {}}));
}

TEST(T0Path, EveryNullProcedureByteStartsTheWaitAfresh) {
  emu::ReaderConfig reader = readertest::ReaderWithFirmware("2.27");
  emu::CardConfig card = DualCard();
  card.t0NullProcedureBytes = 3;
  // Each NULL byte comes after 1.2 s, within the card's 1.6 s (BWI 4), all
  // three together well past it.
  reader.timing.nullProcedureInterval = 12 * kernel::kSecond / 10;
  TransmitDevice d(Path::T0, card, reader);
  d.Reader().SetZeroLengthWhenIdle(true);
  const Transmission t = d.Transmit({0x00, 0xB0, 0x81, 0x00, 0x02});
  EXPECT_EQ(t.status, STATUS_SUCCESS);
  EXPECT_EQ(t.information, 8u + 4u);
  EXPECT_EQ(d.Fixture().ReadPieces().size(), 4u);  // three NULL frames, then the answer
}

TEST(T0Path, ACardThatAsksForTimeWithoutEndGivesTheReaderBack) {
  emu::ReaderConfig reader = readertest::ReaderWithFirmware("2.27");
  reader.timing.nullProcedureInterval = 3 * kernel::kSecond;
  emu::CardConfig card = DualCard();
  card.atr.tb3 = 0x90;  // BWI 9: 51.2 s
  card.t0NullProcedureBytes = 250;  // 12.5 minutes of them
  TransmitDevice d(Path::T0, card, reader);
  const LONGLONG start = kernel::Now();
  const Transmission t = d.Transmit({0x00, 0xB0, 0x81, 0x00, 0x02});
  EXPECT_EQ(t.status, STATUS_IO_TIMEOUT);
  EXPECT_EQ(t.information, 0u);
  EXPECT_LT(kernel::Now() - start, TransmissionTimeLimit + 10 * kernel::kSecond);
}

TEST(T0Path, WaitsTheWorkWaitingTimeTheAtrAnnounces) {
  // T0 80: TD1 follows; TD1 40: TC2 follows, T=0 alone; TC2 FF: WI 255, a
  // work waiting time of 255 x 960 x 372 cycles at 3.5712 MHz, 25.5 s.
  emu::CardConfig card;
  card.atrOverride = Bytes{0x3B, 0x80, 0x40, 0xFF};
  TransmitDevice d(Path::T0, card);
  const Bytes read{0x00, 0xB0, 0x81, 0x00, 0x02};
  d.Reader().ScriptFault(emu::ReplyFault::Delay(25 * kernel::kSecond));
  EXPECT_EQ(d.Transmit(read).status, STATUS_SUCCESS);
  d.Reader().ScriptFault(emu::ReplyFault::Delay(40 * kernel::kSecond));
  const LONGLONG start = kernel::Now();
  EXPECT_EQ(d.Transmit(read).status, STATUS_IO_TIMEOUT);
  // The wait ends with the first read past 25.5 s; a read waits at most 7 s.
  EXPECT_LT(kernel::Now() - start, 325 * kernel::kSecond / 10);
}

TEST(T0Path, RepliesThatAreNoAnswer) {
  struct Case {
    const char* what;
    emu::ReplyFault fault;
  };
  const Case cases[] = {
      {"wrong check byte", emu::ReplyFault::BadCheckByte()},
      {"the reader's error reply", emu::ReplyFault::ErrorReply()},
      {"no reply", emu::ReplyFault::NoReply()},
  };
  for (const Case& c : cases) {
    TransmitDevice d(Path::T0);
    d.Reader().ScriptFault(c.fault);
    const LONGLONG start = kernel::Now();
    const Transmission t = d.Transmit({0x00, 0xB0, 0x81, 0x00, 0x02});
    EXPECT_EQ(t.status, STATUS_IO_TIMEOUT) << c.what;
    EXPECT_EQ(t.information, 0u) << c.what;
    EXPECT_EQ(t.header, d.Header()) << c.what;
    // Only a reply that never comes is waited for.
    if (c.fault.kind != emu::ReplyFault::Kind::NoReply) {
      EXPECT_LT(kernel::Now() - start, d.Context().BlockWaitTime) << c.what;
    }
  }
}

TEST(T0Path, ResponsesAndTheReplyBuffer) {
  TransmitDevice d(Path::T0);
  // READ BINARY of 256 bytes: a 263-byte reply frame.
  const Bytes read256{0x00, 0xB0, 0x81, 0x00, 0x00};
  const Transmission whole = d.Transmit(read256, 8 + 258);
  EXPECT_EQ(whole.status, STATUS_SUCCESS);
  EXPECT_EQ(whole.information, 8u + 258u);
  const Transmission cut = d.Transmit(read256, 8 + 257);
  EXPECT_EQ(cut.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(cut.information, 0u);
  EXPECT_EQ(cut.header, d.Header());

  d.Reader().FailNextBulkIn(usb::TransferFailure{STATUS_DEVICE_DATA_ERROR, USBD_STATUS_DEV_NOT_RESPONDING});
  EXPECT_EQ(d.Transmit(read256).status, STATUS_DEVICE_DATA_ERROR);
}

}  // namespace
