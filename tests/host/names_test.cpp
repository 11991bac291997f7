// The names the host prints and reads: statuses, control codes, attribute
// tags, Plug and Play and power requests, and the result line built from them.
#include <gtest/gtest.h>

#include "host/request_names.h"
#include "host/script.h"
#include "host/status_names.h"
#include "driver/reader/vendor_ioctl.h"
#include "platform/smclib/smclib.h"

namespace {

// The names are the platform's own spelling; one row stands for the table.
TEST(StatusNames, NameKnownStatusesAndOnlyThose) {
  EXPECT_STREQ(host::StatusName(STATUS_DEVICE_PROTOCOL_ERROR), "STATUS_DEVICE_PROTOCOL_ERROR");
  EXPECT_EQ(host::StatusName(NTSTATUS_VALUE(0xC0001234)), nullptr);
  EXPECT_EQ(host::StatusWord(NTSTATUS_VALUE(0xC0001234)), "UNNAMED_STATUS");
}

TEST(ResultLine, IsTheCommandItsStatusAndItsData) {
  const std::uint8_t version[] = {0x50, 0x01, 0x00, 0x00, 0x02, 0x1B, 0x02, 0x27};
  EXPECT_EQ(host::ResultLine("vendor version", STATUS_SUCCESS, version),
            "vendor version -> STATUS_SUCCESS 0x00000000 50010000021B0227");
  EXPECT_EQ(host::ResultLine("track present timeout=100", STATUS_CANCELLED, {}),
            "track present timeout=100 -> STATUS_CANCELLED 0xC0000120");
  EXPECT_EQ(host::ResultLine("ioctl 0x310044", NTSTATUS_VALUE(0xC0001234), {}),
            "ioctl 0x310044 -> UNNAMED_STATUS 0xC0001234");
  EXPECT_EQ(host::OkLine("card insert t1 after=300"), "card insert t1 after=300 -> OK");
}

TEST(ControlCodeNames, CoverThe21CodesTheDriverServes) {
  ASSERT_EQ(host::ServedControlCodes().size(), 21u);
  for (ULONG code : host::ServedControlCodes()) {
    const char* name = host::ControlCodeName(code);
    ASSERT_NE(name, nullptr) << std::hex << code;
    EXPECT_EQ(host::ControlCodeByName(name), code) << name;
  }
  EXPECT_STREQ(host::ControlCodeName(0x310014), "IOCTL_SMARTCARD_TRANSMIT");
  EXPECT_STREQ(host::ControlCodeName(0x312014), "IOCTL_VENDOR_GET_VERSION");
  EXPECT_EQ(host::ControlCodeName(0x310044), nullptr);
  EXPECT_EQ(host::ControlCodeByName("ioctl_smartcard_get_state"), IOCTL_SMARTCARD_GET_STATE);
  EXPECT_EQ(host::ControlCodeByName("IOCTL_SMARTCARD_NOTHING"), std::nullopt);
}

TEST(AttributeNames, AreReadWithOrWithoutPrefixInAnyCase) {
  const struct {
    const char* written;
    std::optional<ULONG> tag;
  } cases[] = {
      {"SCARD_ATTR_VENDOR_NAME", 0x10100},
      {"VENDOR_NAME", 0x10100},
      {"vendor-ifd-type", 0x10101},
      {"atr_string", 0x90303},
      {"MAXINPUT", 0x7A007},
      {"DEVICE_UNIT", 0x7FFF0001},
      {"VENDOR", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(host::AttributeByName(c.written), c.tag) << c.written;
  EXPECT_STREQ(host::AttributeName(SCARD_ATTR_ATR_STRING), "SCARD_ATTR_ATR_STRING");
}

TEST(RequestNames, SpellPlugAndPlayAndPowerAsThePlatformDoes) {
  EXPECT_EQ(host::PnpMinorName(IRP_MN_START_DEVICE), "IRP_MN_START_DEVICE");
  EXPECT_EQ(host::PnpMinorName(IRP_MN_SURPRISE_REMOVAL), "IRP_MN_SURPRISE_REMOVAL");
  EXPECT_EQ(host::PnpMinorName(0x42), "IRP_MN_0x42");
  EXPECT_EQ(host::PowerMinorName(IRP_MN_QUERY_POWER), "IRP_MN_QUERY_POWER");
  EXPECT_EQ(host::SystemStateName(PowerSystemWorking), "S0");
  EXPECT_EQ(host::SystemStateName(PowerSystemSleeping3), "S3");
  EXPECT_EQ(host::SystemStateName(PowerSystemShutdown), "S5");
  EXPECT_STREQ(host::CardStateName(SCARD_SPECIFIC), "SCARD_SPECIFIC");
  EXPECT_STREQ(host::CardStateName(7), "unknown card state");
}

}  // namespace
