// The narrated demo tells a whole, correct session, in simulated time.
#include "host/demo.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>

#include "driver/models/model.h"


namespace {

// The story without what depends on how the threads met at equal simulated
// times (a poll that runs just before or just after a step): the time in
// front of each line, the wait for the card and the summary's time.
std::string Untimed(const std::string& story) {
  std::istringstream in(story);
  std::string untimed;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("[", 0) == 0) line = line.substr(line.find("] ") + 2);
    untimed += std::regex_replace(line, std::regex("( after | served, ).*( ms:| of simulated)"), "$1...$2") + "\n";
  }
  return untimed;
}

TEST(Demo, TellsTheWholeSessionOnANewGenerationReader) {
  std::ostringstream out, trace;
  const host::DemoOutcome outcome =
      host::RunDemo(host::DemoOptions{kernel::ClockMode::Simulated, false, "2.27"}, out, trace);
  ASSERT_TRUE(outcome.ok) << outcome.error;
  char minor[4], driver[8];  // what differs between the deliverables
  std::snprintf(minor, sizeof minor, "%02X", ModelIdentity.DriverVersionMinor);
  std::snprintf(driver, sizeof driver, "%u.%02u", ModelIdentity.DriverVersionMajor, ModelIdentity.DriverVersionMinor);
  const std::string ifd = ModelIdentity.IfdType;
  EXPECT_EQ(trace.str(), "");
  // The T=1 card's IFSC is 32: the 1033 command bytes go out in 33 I-blocks,
  // each but the last acknowledged with an R-block, and the 1026 response
  // bytes come back in 33 I-blocks, each but the last answered likewise.
  EXPECT_EQ(
      Untimed(out.str()),
      "The " + std::string(ModelIdentity.DeliverableName) + " driver (reader type \"" + ifd + "\", driver version " +
          driver + R"() on an emulated reader with firmware 2.27, in simulated time.
Reader plugged in: AddDevice and IRP_MN_START_DEVICE returned STATUS_SUCCESS; at start the driver read the firmware version and the reader's status and enabled the reader interface.
The resource manager found the reader interface and opened a handle on it.
Identity: vendor "ZUNTA", reader type ")" + ifd + R"(", unit 0, version 2.27 (the reader's firmware).
No card yet: the card state is SCARD_ABSENT. IOCTL_SMARTCARD_IS_PRESENT waits; a T=1 card goes in 300 ms from now.
The tracking request completed with STATUS_SUCCESS after ... ms: the presence poll, every 500 ms while a request waits, saw the card.
Cold reset: STATUS_SUCCESS, ATR 3B 84 81 11 20 45 4D 55 31 58 (10 bytes).
T=1 selected: the driver answered protocol 2 (SCARD_PROTOCOL_T1) and the card state is SCARD_SPECIFIC.
SELECT of the master file (00 A4 00 0C 02 3F 00): SW1 SW2 90 00.
GET CHALLENGE: 2C 3A 29 D9 9F 03 25 D4, SW1 SW2 90 00.
Echo of 1024 bytes (an extended APDU of 1033 bytes): the same 1024 bytes came back with 90 00; 130 frames crossed the bus for it.
Vendor version query: 50 01 00 00 02 )" + minor + " 02 27: library interface 0x0150, driver " + driver +
              R"(, firmware 2.27.
System sleep S3: STATUS_SUCCESS; the driver asked for D3 on its own stack and checked the card on the way.
Resume to S0: STATUS_SUCCESS; the first poll after D0 read the card afresh: SCARD_PRESENT.
Eject: STATUS_SUCCESS; the card state is SCARD_ABSENT.
Removal: the handle was closed, then IRP_MN_QUERY_REMOVE_DEVICE and IRP_MN_REMOVE_DEVICE returned STATUS_SUCCESS and the driver deleted its device.
Summary: 24 requests served, ... of simulated time.
)");
}

}  // namespace
