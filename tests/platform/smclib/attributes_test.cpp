// IOCTL_SMARTCARD_GET_ATTRIBUTE: each tag's answer from an extension filled
// as a reader driver fills it, and the checks on tag and output sizes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/platform/smclib/library_device.h"

namespace smclibtest {
namespace {

void SetString(SCARD_ATTR_STRING& field, const char* text) {
  field.Length = static_cast<USHORT>(std::strlen(text));
  std::memcpy(field.Buffer, text, field.Length);
}

Bytes Text(const char* text) { return Bytes(text, text + std::strlen(text)); }

class AttributeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SMARTCARD_EXTENSION& extension = device.Extension();
    SetString(extension.VendorAttr.VendorName, "ZUNTA");
    SetString(extension.VendorAttr.IfdType, "KT2210USB");
    extension.VendorAttr.UnitNo = 3;
    extension.VendorAttr.IfdVersion.VersionMajor = 2;
    extension.VendorAttr.IfdVersion.VersionMinor = 0x27;
    extension.VendorAttr.IfdVersion.BuildNumber = 0;
    SCARD_READER_CAPABILITIES& reader = extension.ReaderCapabilities;
    reader.SupportedProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    reader.ReaderType = SCARD_READER_TYPE_USB;
    reader.MechProperties = SCARD_READER_EJECTS;
    reader.Channel = 0;
    reader.CLKFrequency.Default = 4000;
    reader.CLKFrequency.Max = 4000;
    reader.DataRate.Default = 10753;
    reader.DataRate.Max = 10753;
    reader.MaxIFSD = 254;
    reader.CurrentState = SCARD_SPECIFIC;
    SCARD_CARD_CAPABILITIES& card = extension.CardCapabilities;
    const UCHAR atr[] = {0x3B, 0x02, 0x14, 0x50};
    std::memcpy(card.ATR.Buffer, atr, sizeof(atr));
    card.ATR.Length = sizeof(atr);
    card.Protocol.Selected = SCARD_PROTOCOL_T1;
    card.T1.IFSC = 254;
    card.N = 2;
    extension.T1.IFSD = 254;
  }

  kernel::IoResult Get(ULONG tag, ULONG outputLength = 64) {
    return device.Control(IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(tag), outputLength);
  }

  LibraryDevice device;
};

struct Expected {
  const char* name;
  ULONG tag;
  Bytes value;
};

TEST_F(AttributeTest, EveryTagAnswersFromTheExtension) {
  const Expected table[] = {
      {"vendor name", SCARD_ATTR_VENDOR_NAME, Text("ZUNTA")},
      {"IFD type", SCARD_ATTR_VENDOR_IFD_TYPE, Text("KT2210USB")},
      // 0xMMmmbbbb.
      {"IFD version", SCARD_ATTR_VENDOR_IFD_VERSION, Ulong(0x02270000)},
      {"unit number", SCARD_ATTR_DEVICE_UNIT, Ulong(3)},
      // 0xDDDDCCCC: USB (0x20), channel 0.
      {"channel", SCARD_ATTR_CHANNEL_ID, Ulong(0x00200000)},
      {"protocol types", SCARD_ATTR_PROTOCOL_TYPES, Ulong(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)},
      {"default clock", SCARD_ATTR_DEFAULT_CLK, Ulong(4000)},
      {"maximum clock", SCARD_ATTR_MAX_CLK, Ulong(4000)},
      {"default data rate", SCARD_ATTR_DEFAULT_DATA_RATE, Ulong(10753)},
      {"maximum data rate", SCARD_ATTR_MAX_DATA_RATE, Ulong(10753)},
      {"maximum IFSD", SCARD_ATTR_MAX_IFSD, Ulong(254)},
      {"power management", SCARD_ATTR_POWER_MGMT_SUPPORT, Ulong(0)},
      {"characteristics", SCARD_ATTR_CHARACTERISTICS, Ulong(SCARD_READER_EJECTS)},
      {"maximum input", SCARD_ATTR_MAXINPUT, Ulong(TestBufferSize)},
      {"current protocol", SCARD_ATTR_CURRENT_PROTOCOL_TYPE, Ulong(SCARD_PROTOCOL_T1)},
      {"current N", SCARD_ATTR_CURRENT_N, Ulong(2)},
      {"current IFSC", SCARD_ATTR_CURRENT_IFSC, Ulong(254)},
      {"current IFSD", SCARD_ATTR_CURRENT_IFSD, Ulong(254)},
      {"ICC presence", SCARD_ATTR_ICC_PRESENCE, Bytes{2}},
      {"ICC interface", SCARD_ATTR_ICC_INTERFACE_STATUS, Bytes{1}},
      {"ATR", SCARD_ATTR_ATR_STRING, Bytes{0x3B, 0x02, 0x14, 0x50}},
  };
  for (const Expected& row : table) {
    const kernel::IoResult result = Get(row.tag);
    EXPECT_EQ(result.status, STATUS_SUCCESS) << row.name;
    EXPECT_EQ(result.information, row.value.size()) << row.name;
    EXPECT_EQ(result.output, row.value) << row.name;
  }
}

TEST_F(AttributeTest, CardAttributesFollowTheCardState) {
  struct Row {
    ULONG state;
    UCHAR presence;
    UCHAR interfaceActive;
    ULONG currentProtocol;
  };
  const Row rows[] = {{SCARD_UNKNOWN, 0, 0, 0},           {SCARD_ABSENT, 0, 0, 0},     {SCARD_PRESENT, 1, 0, 0},
                      {SCARD_NEGOTIABLE, 2, 1, 0},        {SCARD_SPECIFIC, 2, 1, SCARD_PROTOCOL_T1}};
  for (const Row& row : rows) {
    device.Extension().ReaderCapabilities.CurrentState = row.state;
    EXPECT_EQ(Get(SCARD_ATTR_ICC_PRESENCE).output, Bytes{row.presence}) << "state " << row.state;
    EXPECT_EQ(Get(SCARD_ATTR_ICC_INTERFACE_STATUS).output, Bytes{row.interfaceActive}) << "state " << row.state;
    EXPECT_EQ(Get(SCARD_ATTR_CURRENT_PROTOCOL_TYPE).output, Ulong(row.currentProtocol)) << "state " << row.state;
  }
}

TEST_F(AttributeTest, AtrOfACardThatIsGoneIsNotReported) {
  device.Extension().ReaderCapabilities.CurrentState = SCARD_ABSENT;
  const kernel::IoResult result = Get(SCARD_ATTR_ATR_STRING);
  EXPECT_EQ(result.status, STATUS_NO_MEDIA);
  EXPECT_EQ(result.information, 0u);
}

TEST_F(AttributeTest, RecordedLengthsPastTheirFieldsAreNotFollowed) {
  device.Extension().CardCapabilities.ATR.Length = 65;
  EXPECT_EQ(Get(SCARD_ATTR_ATR_STRING, 255).status, STATUS_INVALID_DEVICE_STATE);
  device.Extension().VendorAttr.VendorName.Length = MAXIMUM_ATTR_STRING_LENGTH + 1;
  EXPECT_EQ(Get(SCARD_ATTR_VENDOR_NAME, 255).status, STATUS_INVALID_DEVICE_STATE);
}

TEST_F(AttributeTest, SizesAndTagsAreChecked) {
  EXPECT_EQ(Get(SCARD_ATTR_VENDOR_IFD_TYPE, 8).status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Get(SCARD_ATTR_VENDOR_IFD_TYPE, 9).status, STATUS_SUCCESS);
  EXPECT_EQ(Get(SCARD_ATTR_DEFAULT_CLK, 3).status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Get(SCARD_ATTR_ICC_PRESENCE, 0).status, STATUS_BUFFER_TOO_SMALL);
  const Bytes shortTag{0x00, 0x01, 0x01};
  EXPECT_EQ(device.Control(IOCTL_SMARTCARD_GET_ATTRIBUTE, shortTag, 64).status, STATUS_INVALID_PARAMETER);
  // A serial number the driver left empty, and a tag nobody answers.
  EXPECT_EQ(Get(SCARD_ATTR_VENDOR_IFD_SERIAL_NO).status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(Get(SCARD_ATTR_VALUE(SCARD_CLASS_SECURITY, 0x0140)).status, STATUS_NOT_SUPPORTED);
}

}  // namespace
}  // namespace smclibtest
