// Scripts that carry a card through a whole session, end to end: the
// driver loaded by its DriverEntry, a reader plugged and started, requests
// from an open handle. Each compares the script's whole output.
#include <gtest/gtest.h>

#include "tests/host/script_run.h"

namespace {

using hosttest::ForThisDeliverable;
using hosttest::RunScriptText;
using hosttest::ScriptRun;

// The same T=1 session on a reader of each frame generation: the driver
// runs the T=1 blocks itself from 2.01 on, below it hands the reader whole
// commands. Only the version the reader reports differs.
struct Generation {
  const char* firmware;
  const char* ifdVersion;    // SCARD_ATTR_VENDOR_IFD_VERSION: build, minor, major
  const char* versionBlock;  // the last two bytes of the vendor version block
};

class T1Session : public testing::TestWithParam<Generation> {};

TEST_P(T1Session, ServesEveryStepOfACardsLife) {
  const Generation& g = GetParam();
  const std::string script = std::string("reader firmware=") + g.firmware + R"( card=t1
plug
open
state
power cold
protocol t1
state
apdu 00A4020C020101        # SELECT the EF
apdu 00D6000004CAFEBABE    # UPDATE BINARY
apdu 00B0000004            # READ BINARY
attr ATR_STRING
attr CURRENT_PROTOCOL_TYPE
attr VENDOR_IFD_TYPE
attr VENDOR_IFD_VERSION
attr DEVICE_UNIT
power warm
apdu 00B0000002            # no protocol since the reset: refused
protocol t1
apdu 00B0000002            # the reset selected the MF again
power down
state
vendor version
vendor b0 05
vendor d8 07
vendor reset-port
eject
state
close
remove
)";
  const ScriptRun run = RunScriptText(script);
  ASSERT_TRUE(run.outcome.ok) << run.outcome.error;
  // The ATR of the T=1 card: TS 3B, T0 84 (TD1, four historical bytes),
  // TD1 81 and TD2 11 (T=1, TA3 follows), TA3 20 (IFSC 32), "EMU1", TCK 58.
  EXPECT_EQ(run.out, ForThisDeliverable(std::string("reader firmware=") + g.firmware + R"( card=t1 -> OK
plug -> STATUS_SUCCESS 0x00000000
open -> STATUS_SUCCESS 0x00000000
state -> STATUS_SUCCESS 0x00000000 02000000
power cold -> STATUS_SUCCESS 0x00000000 3B84811120454D553158
protocol t1 -> STATUS_SUCCESS 0x00000000 02000000
state -> STATUS_SUCCESS 0x00000000 06000000
apdu 00A4020C020101 -> STATUS_SUCCESS 0x00000000 02000000080000009000
apdu 00D6000004CAFEBABE -> STATUS_SUCCESS 0x00000000 02000000080000009000
apdu 00B0000004 -> STATUS_SUCCESS 0x00000000 0200000008000000CAFEBABE9000
attr ATR_STRING -> STATUS_SUCCESS 0x00000000 3B84811120454D553158
attr CURRENT_PROTOCOL_TYPE -> STATUS_SUCCESS 0x00000000 02000000
attr VENDOR_IFD_TYPE -> STATUS_SUCCESS 0x00000000 {TYPE}
attr VENDOR_IFD_VERSION -> STATUS_SUCCESS 0x00000000 )" +
                                        g.ifdVersion + R"(
attr DEVICE_UNIT -> STATUS_SUCCESS 0x00000000 00000000
power warm -> STATUS_SUCCESS 0x00000000 3B84811120454D553158
apdu 00B0000002 -> STATUS_INVALID_DEVICE_STATE 0xC0000184
protocol t1 -> STATUS_SUCCESS 0x00000000 02000000
apdu 00B0000002 -> STATUS_SUCCESS 0x00000000 02000000080000006986
power down -> STATUS_SUCCESS 0x00000000
state -> STATUS_SUCCESS 0x00000000 02000000
vendor version -> STATUS_SUCCESS 0x00000000 5001000002{MINOR})" +
                                        g.versionBlock + R"(
vendor b0 05 -> STATUS_SUCCESS 0x00000000 9000
vendor d8 07 -> STATUS_SUCCESS 0x00000000 9000
vendor reset-port -> STATUS_SUCCESS 0x00000000
eject -> STATUS_SUCCESS 0x00000000
state -> STATUS_SUCCESS 0x00000000 01000000
close -> STATUS_SUCCESS 0x00000000
remove -> STATUS_SUCCESS 0x00000000
)"));
}

INSTANTIATE_TEST_SUITE_P(BothFrameGenerations, T1Session,
                         testing::Values(Generation{"2.27", "00002702", "0227"},
                                         Generation{"1.50", "00005001", "0150"}));

TEST(T0Session, CarriesShortCommandsAndWaitsForTheCard) {
  const ScriptRun run = RunScriptText(R"(reader card=t0
plug
open
power cold
protocol t0
apdu 00A4020C020101
apdu 00D6000003AABBCC
apdu 00B0000003
apdu 8022000002123400     # case 4: the card asks for GET RESPONSE, which is the caller's to send
track absent timeout=700
card remove after=200
track absent timeout=2000
state
card insert t1 after=100
track present
power cold
)");
  ASSERT_TRUE(run.outcome.ok) << run.outcome.error;
  EXPECT_EQ(run.out, R"(reader card=t0 -> OK
plug -> STATUS_SUCCESS 0x00000000
open -> STATUS_SUCCESS 0x00000000
power cold -> STATUS_SUCCESS 0x00000000 3B04454D5530
protocol t0 -> STATUS_SUCCESS 0x00000000 01000000
apdu 00A4020C020101 -> STATUS_SUCCESS 0x00000000 01000000080000009000
apdu 00D6000003AABBCC -> STATUS_SUCCESS 0x00000000 01000000080000009000
apdu 00B0000003 -> STATUS_SUCCESS 0x00000000 0100000008000000AABBCC9000
apdu 8022000002123400 -> STATUS_SUCCESS 0x00000000 01000000080000006102
track absent timeout=700 -> STATUS_CANCELLED 0xC0000120
card remove after=200 -> OK
track absent timeout=2000 -> STATUS_SUCCESS 0x00000000
state -> STATUS_SUCCESS 0x00000000 01000000
card insert t1 after=100 -> OK
track present -> STATUS_SUCCESS 0x00000000
power cold -> STATUS_SUCCESS 0x00000000 3B84811120454D553158
)");
}

// The card's GET CHALLENGE answers come from a sequence that a reset
// starts again: a command the card ran twice would show a later answer.
TEST(T1Sequence, EveryCommandRunsOnceAfterAnOverflowAndAfterAResetBySelection) {
  const ScriptRun run = RunScriptText(R"(reader card=t1
plug
open
power cold
protocol t1
apdu 0084000008 out=17     # the answer does not fit, yet the card ran the command
apdu 0084000008
protocol t1                # a selection again only resets the card
apdu 0084000008
apdu 0084000008
)");
  ASSERT_TRUE(run.outcome.ok) << run.outcome.error;
  EXPECT_EQ(run.out, R"(reader card=t1 -> OK
plug -> STATUS_SUCCESS 0x00000000
open -> STATUS_SUCCESS 0x00000000
power cold -> STATUS_SUCCESS 0x00000000 3B84811120454D553158
protocol t1 -> STATUS_SUCCESS 0x00000000 02000000
apdu 0084000008 out=17 -> STATUS_BUFFER_TOO_SMALL 0xC0000023
apdu 0084000008 -> STATUS_SUCCESS 0x00000000 02000000080000008415FD8FE8AC2B389000
protocol t1 -> STATUS_SUCCESS 0x00000000
apdu 0084000008 -> STATUS_SUCCESS 0x00000000 02000000080000002C3A29D99F0325D49000
apdu 0084000008 -> STATUS_SUCCESS 0x00000000 02000000080000008415FD8FE8AC2B389000
)");
}

// Nothing reaches a card that cannot take it; the first challenge the card
// gives shows that no refused command ran.
TEST(CardState, SelectionAndTransmitNeedACardInItsProtocol) {
  const ScriptRun run = RunScriptText(R"(reader card=none
plug
open
protocol t1                # no card to reset
state
card insert t1 atr=3B80810001   # T=1 offered, then T=0: a TCK all the same
track present
power cold
apdu 0084000008            # no protocol since the reset
protocol t1
ioctl IOCTL_SMARTCARD_TRANSMIT 01000000080000000084000008   # a header that names T=0
apdu 0084000008
card remove
track absent
apdu 0084000008
)");
  ASSERT_TRUE(run.outcome.ok) << run.outcome.error;
  EXPECT_EQ(run.out, R"(reader card=none -> OK
plug -> STATUS_SUCCESS 0x00000000
open -> STATUS_SUCCESS 0x00000000
protocol t1 -> STATUS_NO_MEDIA 0xC0000178
state -> STATUS_SUCCESS 0x00000000 01000000
card insert t1 atr=3B80810001 -> OK
track present -> STATUS_SUCCESS 0x00000000
power cold -> STATUS_SUCCESS 0x00000000 3B80810001
apdu 0084000008 -> STATUS_INVALID_DEVICE_STATE 0xC0000184
protocol t1 -> STATUS_SUCCESS 0x00000000 02000000
ioctl IOCTL_SMARTCARD_TRANSMIT 01000000080000000084000008 -> STATUS_INVALID_DEVICE_STATE 0xC0000184
apdu 0084000008 -> STATUS_SUCCESS 0x00000000 02000000080000002C3A29D99F0325D49000
card remove -> OK
track absent -> STATUS_SUCCESS 0x00000000
apdu 0084000008 -> STATUS_NO_MEDIA 0xC0000178
)");
}

TEST(ControlCodes, TheRestGoThroughIoctlAndCodesNotServedPassAtOnce) {
  const ScriptRun run = RunScriptText(R"(reader card=t1
plug
open
ioctl IOCTL_SMARTCARD_SET_ATTRIBUTE 00010100
ioctl IOCTL_SMARTCARD_CONFISCATE
ioctl IOCTL_SMARTCARD_SWALLOW
ioctl IOCTL_SMARTCARD_GET_LAST_ERROR out=4
ioctl IOCTL_SMARTCARD_POWER out=64                 # no operation given
ioctl 0x310044 00 out=0                            # function 17: not the driver's
ioctl 0x310030                                     # buffers exactly as written: no mask at all
ioctl 0x310030 020000
ioctl 0x310030 02000000 out=2
power cold
ioctl 0x310030 0300000000 out=8                    # the selection is what later headers carry
apdu 00A4020C020101
ioctl IOCTL_SMARTCARD_IS_ABSENT timeout=700        # a request that waits is cancelled at its limit
stop
ioctl 0x310044
state
)");
  ASSERT_TRUE(run.outcome.ok) << run.outcome.error;
  EXPECT_EQ(run.out, R"(reader card=t1 -> OK
plug -> STATUS_SUCCESS 0x00000000
open -> STATUS_SUCCESS 0x00000000
ioctl IOCTL_SMARTCARD_SET_ATTRIBUTE 00010100 -> STATUS_NOT_SUPPORTED 0xC00000BB
ioctl IOCTL_SMARTCARD_CONFISCATE -> STATUS_NOT_SUPPORTED 0xC00000BB
ioctl IOCTL_SMARTCARD_SWALLOW -> STATUS_NOT_SUPPORTED 0xC00000BB
ioctl IOCTL_SMARTCARD_GET_LAST_ERROR out=4 -> STATUS_SUCCESS 0x00000000 00000000
ioctl IOCTL_SMARTCARD_POWER out=64 -> STATUS_INVALID_PARAMETER 0xC000000D
ioctl 0x310044 00 out=0 -> STATUS_SUCCESS 0x00000000
ioctl 0x310030 -> STATUS_INVALID_PARAMETER 0xC000000D
ioctl 0x310030 020000 -> STATUS_INVALID_PARAMETER 0xC000000D
ioctl 0x310030 02000000 out=2 -> STATUS_BUFFER_TOO_SMALL 0xC0000023
power cold -> STATUS_SUCCESS 0x00000000 3B84811120454D553158
ioctl 0x310030 0300000000 out=8 -> STATUS_SUCCESS 0x00000000 02000000
apdu 00A4020C020101 -> STATUS_SUCCESS 0x00000000 02000000080000009000
ioctl IOCTL_SMARTCARD_IS_ABSENT timeout=700 -> STATUS_CANCELLED 0xC0000120
stop -> STATUS_SUCCESS 0x00000000
ioctl 0x310044 -> STATUS_SUCCESS 0x00000000
state -> STATUS_DELETE_PENDING 0xC0000056
)");
}

}  // namespace
