// The Plug and Play and power managers' request sequences, as the trace's
// request lines show them, and what the driver answers in between.
#include <gtest/gtest.h>

#include "tests/host/script_run.h"

namespace {

using hosttest::LinesStartingWith;
using hosttest::RunScriptText;
using hosttest::ScriptRun;

// The request lines of a trace without their times: "IRP_MN_STOP_DEVICE -> STATUS_SUCCESS".
std::vector<std::string> Requests(const ScriptRun& run) {
  std::vector<std::string> requests;
  for (const std::string& line : LinesStartingWith(run.trace, "request ")) {
    requests.push_back(line.substr(line.find(" ms ") + 4));
  }
  return requests;
}

TEST(Lifecycle, StopsStartsAndCancelsAsWindowsDoes) {
  const ScriptRun run = RunScriptText(R"(plug
open
stop
state
start
state          # waits for the first poll after the start, as after plug
pnp query-stop
state
pnp cancel-stop
state
pnp query-remove
state
pnp cancel-remove
state
close
open           # the interface stays disabled after a cancelled removal
)",
                                      true);
  ASSERT_TRUE(run.outcome.ok) << run.outcome.error;
  EXPECT_EQ(run.out, R"(plug -> STATUS_SUCCESS 0x00000000
open -> STATUS_SUCCESS 0x00000000
stop -> STATUS_SUCCESS 0x00000000
state -> STATUS_DELETE_PENDING 0xC0000056
start -> STATUS_SUCCESS 0x00000000
state -> STATUS_SUCCESS 0x00000000 01000000
pnp query-stop -> STATUS_SUCCESS 0x00000000
state -> STATUS_DELETE_PENDING 0xC0000056
pnp cancel-stop -> STATUS_SUCCESS 0x00000000
state -> STATUS_SUCCESS 0x00000000 01000000
pnp query-remove -> STATUS_SUCCESS 0x00000000
state -> STATUS_DELETE_PENDING 0xC0000056
pnp cancel-remove -> STATUS_SUCCESS 0x00000000
state -> STATUS_SUCCESS 0x00000000 01000000
close -> STATUS_SUCCESS 0x00000000
open -> STATUS_OBJECT_NAME_NOT_FOUND 0xC0000034
)");
  // At the end of the script the device still there is removed.
  EXPECT_EQ(Requests(run), (std::vector<std::string>{
                               "IRP_MN_START_DEVICE -> STATUS_SUCCESS",
                               "IRP_MJ_CREATE -> STATUS_SUCCESS",
                               "IRP_MN_QUERY_STOP_DEVICE -> STATUS_SUCCESS",
                               "IRP_MN_STOP_DEVICE -> STATUS_SUCCESS",
                               "IOCTL_SMARTCARD_GET_STATE -> STATUS_DELETE_PENDING",
                               "IRP_MN_START_DEVICE -> STATUS_SUCCESS",
                               "IOCTL_SMARTCARD_GET_STATE -> STATUS_SUCCESS, information 4",
                               "IRP_MN_QUERY_STOP_DEVICE -> STATUS_SUCCESS",
                               "IOCTL_SMARTCARD_GET_STATE -> STATUS_DELETE_PENDING",
                               "IRP_MN_CANCEL_STOP_DEVICE -> STATUS_SUCCESS",
                               "IOCTL_SMARTCARD_GET_STATE -> STATUS_SUCCESS, information 4",
                               "IRP_MN_QUERY_REMOVE_DEVICE -> STATUS_SUCCESS",
                               "IOCTL_SMARTCARD_GET_STATE -> STATUS_DELETE_PENDING",
                               "IRP_MN_CANCEL_REMOVE_DEVICE -> STATUS_SUCCESS",
                               "IOCTL_SMARTCARD_GET_STATE -> STATUS_SUCCESS, information 4",
                               "IRP_MJ_CLEANUP, IRP_MJ_CLOSE -> STATUS_SUCCESS",
                               "IRP_MJ_CREATE (no enabled reader interface) -> STATUS_OBJECT_NAME_NOT_FOUND",
                               "IRP_MN_QUERY_REMOVE_DEVICE -> STATUS_SUCCESS",
                               "IRP_MN_REMOVE_DEVICE -> STATUS_SUCCESS",
                           }));
}

TEST(Lifecycle, RemovalClosesHandlesFirstAndFollowsASurpriseRemovalAtTheLastClose) {
  const ScriptRun run = RunScriptText(R"(reader card=t1
plug
open
remove
plug             # a new reader: the unit number was given back
open
attr DEVICE_UNIT
surprise-remove
state            # the handle outlives the device's presence on the bus
close            # the last close lets the removal follow
plug
surprise-remove  # no handle open: the removal follows at once
)",
                                      true);
  ASSERT_TRUE(run.outcome.ok) << run.outcome.error;
  EXPECT_EQ(run.out, R"(reader card=t1 -> OK
plug -> STATUS_SUCCESS 0x00000000
open -> STATUS_SUCCESS 0x00000000
remove -> STATUS_SUCCESS 0x00000000
plug -> STATUS_SUCCESS 0x00000000
open -> STATUS_SUCCESS 0x00000000
attr DEVICE_UNIT -> STATUS_SUCCESS 0x00000000 00000000
surprise-remove -> STATUS_SUCCESS 0x00000000
state -> STATUS_DELETE_PENDING 0xC0000056
close -> STATUS_SUCCESS 0x00000000
plug -> STATUS_SUCCESS 0x00000000
surprise-remove -> STATUS_SUCCESS 0x00000000
)");
  EXPECT_EQ(Requests(run), (std::vector<std::string>{
                               "IRP_MN_START_DEVICE -> STATUS_SUCCESS",
                               "IRP_MJ_CREATE -> STATUS_SUCCESS",
                               "IRP_MJ_CLEANUP, IRP_MJ_CLOSE -> STATUS_SUCCESS",
                               "IRP_MN_QUERY_REMOVE_DEVICE -> STATUS_SUCCESS",
                               "IRP_MN_REMOVE_DEVICE -> STATUS_SUCCESS",
                               "IRP_MN_START_DEVICE -> STATUS_SUCCESS",
                               "IRP_MJ_CREATE -> STATUS_SUCCESS",
                               "IOCTL_SMARTCARD_GET_ATTRIBUTE -> STATUS_SUCCESS, information 4",
                               "IRP_MN_SURPRISE_REMOVAL -> STATUS_SUCCESS",
                               "IOCTL_SMARTCARD_GET_STATE -> STATUS_DELETE_PENDING",
                               "IRP_MJ_CLEANUP, IRP_MJ_CLOSE -> STATUS_SUCCESS",
                               "IRP_MN_REMOVE_DEVICE -> STATUS_SUCCESS",
                               "IRP_MN_START_DEVICE -> STATUS_SUCCESS",
                               "IRP_MN_SURPRISE_REMOVAL -> STATUS_SUCCESS",
                               "IRP_MN_REMOVE_DEVICE -> STATUS_SUCCESS",
                           }));
}

TEST(Lifecycle, SleepsAndResumesWithTheCardReadAfresh) {
  const ScriptRun run = RunScriptText(R"(reader card=t1
plug
open
power cold
protocol t1
state
sleep
card remove      # while the system sleeps
resume
state            # waits for the first poll after D0
sleep s4
resume
)",
                                      true);
  ASSERT_TRUE(run.outcome.ok) << run.outcome.error;
  EXPECT_EQ(run.out, R"(reader card=t1 -> OK
plug -> STATUS_SUCCESS 0x00000000
open -> STATUS_SUCCESS 0x00000000
power cold -> STATUS_SUCCESS 0x00000000 3B84811120454D553158
protocol t1 -> STATUS_SUCCESS 0x00000000 02000000
state -> STATUS_SUCCESS 0x00000000 06000000
sleep -> STATUS_SUCCESS 0x00000000
card remove -> OK
resume -> STATUS_SUCCESS 0x00000000
state -> STATUS_SUCCESS 0x00000000 01000000
sleep s4 -> STATUS_SUCCESS 0x00000000
resume -> STATUS_SUCCESS 0x00000000
)");
  const std::vector<std::string> requests = Requests(run);
  const std::vector<std::string> power(requests.begin() + 5, requests.begin() + 8);
  EXPECT_EQ(power, (std::vector<std::string>{
                       "IRP_MN_QUERY_POWER S3 -> STATUS_SUCCESS",
                       "IRP_MN_SET_POWER S3 -> STATUS_SUCCESS",
                       "IRP_MN_SET_POWER S0 -> STATUS_SUCCESS",
                   }));
}

}  // namespace
