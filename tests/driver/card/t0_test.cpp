// T=0: the command-case reduction and the meaning of a reply frame as tables
// of annotated bytes, then the path through the emulated reader and card:
// the frames on the wire, the waits, and replies that are no answer.
#include <gtest/gtest.h>

#include "driver/card/t0_command.h"
#include "driver/card/transmit_paths.h"
#include "emulator/reader/frame.h"
#include "platform/kernel/platform.h"
#include "tests/driver/card/transmit_device.h"

namespace {

using namespace transmittest;

constexpr NTSTATUS OK = STATUS_SUCCESS, Timeout = STATUS_IO_TIMEOUT, Short = STATUS_PORT_ALREADY_SET;
constexpr NTSTATUS TooSmall = STATUS_BUFFER_TOO_SMALL, Invalid = STATUS_INVALID_PARAMETER;

TEST(T0Reduction, FollowsTheCommandCases) {
  struct Row {
    const char* what;
    const char* command;
    ULONG replyLength;
    NTSTATUS status;
    const char* tpdu;  // what the T=0 frame 52 40 <2 length bytes> <tpdu> <check byte> carries
  };
  // clang-format off
  const Row rows[] = {
      {"nothing", "", 300, Timeout, ""},
      {"three bytes", "00 A4 00", 300, Short, ""},
      {"case 1", "00 A4 00 00", 300, OK, "00 A4 00 00"},
      {"case 2, Le 16, reply 20", "00 B0 00 00 10", 20, TooSmall, ""},
      {"case 2, Le 16, reply 21", "00 B0 00 00 10", 21, OK, "00 B0 00 00 10"},
      {"case 3", "00 D6 00 00 02 D1 D2", 300, OK, "00 D6 00 00 02 D1 D2"},
      {"case 3, Lc 3 with 2 data bytes", "00 D6 00 00 03 D1 D2", 300, Short, ""},
      {"case 4: Le dropped", "00 A4 00 00 02 D1 D2 00", 300, OK, "00 A4 00 00 02 D1 D2"},
      {"P3 00 and one byte: as it is", "00 D6 00 00 00 D1", 300, OK, "00 D6 00 00 00 D1"},
      {"extended Le 0x0020", "00 B0 00 00 00 00 20", 300, OK, "00 B0 00 00 20"},
      {"extended Le 0x0100: all", "00 B0 00 00 00 01 00", 300, OK, "00 B0 00 00 00"},
      {"extended Le 0x0020, reply 36", "00 B0 00 00 00 00 20", 36, TooSmall, ""},
      {"extended Lc 3", "00 D6 00 00 00 00 03 D1 D2 D3", 300, OK, "00 D6 00 00 03 D1 D2 D3"},
      {"extended Lc 3 and Le: Le dropped", "00 D6 00 00 00 00 03 D1 D2 D3 00 00", 300, OK, "00 D6 00 00 03 D1 D2 D3"},
      {"extended Lc 0x0103", "00 D6 00 00 00 01 03 D1", 300, Invalid, ""},
      {"extended Lc 0", "00 D6 00 00 00 00 00 D1", 300, Invalid, ""},
      {"extended Lc 3 with 2 data bytes", "00 D6 00 00 00 00 03 D1 D2", 300, Short, ""},
  };
  // clang-format on
  for (const Row& row : rows) {
    const Bytes command = Hex(row.command);
    const T0_COMMAND tpdu = ReduceT0Command(command.data(), static_cast<ULONG>(command.size()), row.replyLength);
    EXPECT_EQ(tpdu.Status, row.status) << row.what;
    if (tpdu.Status != STATUS_SUCCESS) continue;
    UCHAR frame[T0FrameMax];
    const ULONG frameLength = BuildT0Frame(command.data(), tpdu, 0x40, frame);
    EXPECT_EQ(Bytes(frame, frame + frameLength), emu::BuildT0Frame(0x40, Hex(row.tpdu))) << row.what;
  }
}

TEST(T0Reply, IsUsedOnlyWhenWholeAndRight) {
  struct Row {
    const char* what;
    NTSTATUS receive;
    const char* frame;
    T0_REPLY_KIND kind;
    ULONG responseLength;
  };
  // clang-format off
  const Row rows[] = {
      {"SW1 SW2", OK, "52 00 00 02 90 00 C0", T0ReplyResponse, 2},
      {"NULL procedure byte", OK, "52 00 00 01 60 33", T0ReplyNullProcedure, 0},
      {"too late", STATUS_TIMEOUT, "52 00 00 02 90 00 C0", T0ReplyFailed, 0},
      {"wrong check byte", OK, "52 00 00 02 90 00 C1", T0ReplyFailed, 0},
      {"no card bytes", OK, "52 00 00 00 52", T0ReplyFailed, 0},
      {"more than a T=0 reply holds", OK, "52 00 02 00 90 00 C0", T0ReplyFailed, 0},
      {"a byte behind the frame", OK, "52 00 00 02 90 00 C0 00", T0ReplyFailed, 0},
      // 21 s 04 01 <command> F<code> AD c: one-byte length, complete at 8 bytes.
      {"reader's error reply", OK, "21 00 04 01 52 F1 AD 2A", T0ReplyFailed, 0},
  };
  // clang-format on
  for (const Row& row : rows) {
    const Bytes frame = Hex(row.frame);
    const T0_REPLY reply = EvaluateT0Reply(row.receive, frame.data(), static_cast<ULONG>(frame.size()));
    EXPECT_EQ(reply.Kind, row.kind) << row.what;
    EXPECT_EQ(reply.ResponseLength, row.responseLength) << row.what;
    if (row.frame[0] == '2') {
      EXPECT_EQ(T0ReplyFrameLength(frame.data(), 4), 8u);
    }
  }
}

TEST(T0Path, SendsTheReducedCommandInOneFrameAndTheResponseIfItFits) {
  TransmitDevice d(Path::T0);
  const Bytes write54 = Concat({Hex("00 D6 81 00 36"), Pattern(54)});  // a 64-byte frame, ended by a zero-length packet
  const std::pair<Bytes, std::vector<Bytes>> cases[] = {
      {Hex("00 A4 00 00 02 3F 00 00"), {emu::BuildT0Frame(0x00, Hex("00 A4 00 00 02 3F 00"))}},  // case 4: Le dropped
      {Hex("00 B0 81 00 00 00 04"), {emu::BuildT0Frame(0x00, Hex("00 B0 81 00 04"))}},           // extended case 2
      {write54, {emu::BuildT0Frame(0x00, write54), {}}},
  };
  for (const auto& [command, written] : cases) {
    const Transmission t = d.Transmit(command);
    EXPECT_EQ(t.status, OK);
    EXPECT_EQ(d.Written(), written);
    EXPECT_EQ(t.header, d.Header());
  }
  // The control byte carries the send sequence bit of T1Sequence. READ BINARY of 256 bytes from short
  // EF 1 is a 263-byte reply frame: its data and 90 00 fit 258 bytes, not 257.
  d.Context().T1Sequence = 0x50;
  const Bytes read256 = Hex("00 B0 81 00 00");
  const Transmission whole = d.Transmit(read256, 8 + 258);
  EXPECT_EQ(d.Written(), std::vector<Bytes>{emu::BuildT0Frame(0x40, read256)});
  EXPECT_EQ(whole.information, 8u + 258u);
  EXPECT_EQ(Bytes(whole.response.end() - 2, whole.response.end()), Hex("90 00"));
  const Transmission cut = d.Transmit(read256, 8 + 257);
  EXPECT_EQ(cut.status, TooSmall);
  EXPECT_EQ(cut.information, 0u);
  EXPECT_EQ(cut.header, d.Header());
  d.Reader().FailNextBulkIn(usb::TransferFailure{STATUS_DEVICE_DATA_ERROR, USBD_STATUS_DEV_NOT_RESPONDING});
  EXPECT_EQ(d.Transmit(read256).status, STATUS_DEVICE_DATA_ERROR);
}

TEST(T0Path, WaitsAsTheCardsAtrAndNullProcedureBytesAllowAndNoLonger) {
  constexpr LONGLONG S = kernel::kSecond;
  struct Row {
    const char* what;
    const char* atr;           // "": DualCard with the TB3 below
    std::optional<UCHAR> tb3;  // BWI in the high nibble: none is 4, 1.6 s; 9 is 51.2 s
    std::uint32_t nullBytes;   // before the answer, one each interval
    LONGLONG interval;
    std::optional<emu::ReplyFault> fault;
    NTSTATUS status;
    LONGLONG within;  // the transmission's time; 0: less than the block waiting time
  };
  // T0 80: TD1 follows; TD1 40: TC2 follows, T=0 alone; TC2 FF: WI 255, a work
  // waiting time of 255 x 960 x 372 cycles at 3.5712 MHz, 25.5 s.
  const char* const Wi255 = "3B 80 40 FF";
  // clang-format off
  const Row rows[] = {
      {"each NULL byte within BWI 4's 1.6 s, all three past it", "", {}, 3, 12 * S / 10, {}, OK, 5 * S},
      {"NULL bytes for 12.5 minutes", "", 0x90, 250, 3 * S, {}, Timeout, TransmissionTimeLimit + 10 * S},
      {"an answer within the work waiting time", Wi255, {}, 0, 0, emu::ReplyFault::Delay(25 * S), OK, 26 * S},
      // The wait ends with the first read past 25.5 s; a read waits at most 7 s.
      {"an answer past it", Wi255, {}, 0, 0, emu::ReplyFault::Delay(40 * S), Timeout, 325 * S / 10},
      // Only a reply that never comes is waited for.
      {"wrong check byte", "", {}, 0, 0, emu::ReplyFault::BadCheckByte(), Timeout, 0},
      {"the reader's error reply", "", {}, 0, 0, emu::ReplyFault::ErrorReply(), Timeout, 0},
      {"no reply", "", {}, 0, 0, emu::ReplyFault::NoReply(), Timeout, 10 * S},
  };
  // clang-format on
  for (const Row& row : rows) {
    emu::ReaderConfig reader = readertest::ReaderWithFirmware("2.27");
    if (row.interval != 0) reader.timing.nullProcedureInterval = row.interval;
    emu::CardConfig card = DualCard();
    card.atr.tb3 = row.tb3;
    if (*row.atr != 0) card.atrOverride = Hex(row.atr);
    card.t0NullProcedureBytes = row.nullBytes;
    TransmitDevice d(Path::T0, card, reader);
    // Idle reads come back empty, so that the driver's clock runs between them.
    d.Reader().SetZeroLengthWhenIdle(row.nullBytes == 3);
    if (row.fault) d.Reader().ScriptFault(*row.fault);
    const LONGLONG start = kernel::Now();
    const Transmission t = d.Transmit(Hex("00 B0 81 00 02"));
    EXPECT_EQ(t.status, row.status) << row.what;
    EXPECT_EQ(t.information, row.status == OK ? 8u + 4u : 0u) << row.what;
    EXPECT_EQ(t.header, d.Header()) << row.what;
    EXPECT_LT(kernel::Now() - start, row.within != 0 ? row.within : d.Context().BlockWaitTime) << row.what;
  }
}

}  // namespace
