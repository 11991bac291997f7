// The reader's identity, static capabilities and reader functions.
#include "driver/device/reader_identity.h"

#include <string.h>

#include "driver/card/reader_functions.h"
#include "driver/reader/vendor_ioctl.h"
#include "driver/tracking/card_tracking.h"
#include "driver/models/model.h"

namespace {

constexpr char VendorName[] = "ZUNTA";

// The clocks the reader can give the card, in kHz. The library's record
// points at the table, so it lives as long as the driver.
// The fastest is both the default and the maximum.
ULONG ClockFrequenciesKhz[] = {3571, 4915};
constexpr ULONG FastestClock = 1;
constexpr ULONG DefaultDataRate = 76800;
constexpr ULONG MaximumDataRate = 115200;

// The text with its terminating zero, as the resource manager reads it.
void SetAttributeString(SCARD_ATTR_STRING* Attribute, const char* Text) {
  SIZE_T length = strlen(Text) + 1;
  if (length > sizeof(Attribute->Buffer)) length = sizeof(Attribute->Buffer);
  RtlZeroMemory(Attribute->Buffer, sizeof(Attribute->Buffer));
  RtlCopyMemory(Attribute->Buffer, Text, length);
  Attribute->Length = static_cast<USHORT>(length);
}

}  // namespace

void FillReaderIdentity(PSMARTCARD_EXTENSION SmartcardExtension) {
  VENDOR_ATTR& attributes = SmartcardExtension->VendorAttr;
  SetAttributeString(&attributes.VendorName, VendorName);
  SetAttributeString(&attributes.IfdType, ModelIdentity.IfdType);
  attributes.IfdVersion.BuildNumber = 0;
  attributes.IfdVersion.VersionMajor = 1;
  attributes.IfdVersion.VersionMinor = 0;
  attributes.IfdSerialNo.Length = 0;
}

void FillReaderCapabilities(PSMARTCARD_EXTENSION SmartcardExtension) {
  SCARD_READER_CAPABILITIES& capabilities = SmartcardExtension->ReaderCapabilities;
  capabilities.SupportedProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
  capabilities.ReaderType = SCARD_READER_TYPE_USB;
  capabilities.MechProperties = SCARD_READER_EJECTS | SCARD_READER_CONFISCATES;
  capabilities.Channel = 0;
  capabilities.CLKFrequency.Default = ClockFrequenciesKhz[FastestClock];
  capabilities.CLKFrequency.Max = ClockFrequenciesKhz[FastestClock];
  capabilities.CLKFrequenciesSupported.List = ClockFrequenciesKhz;
  capabilities.CLKFrequenciesSupported.Entries = sizeof(ClockFrequenciesKhz) / sizeof(ClockFrequenciesKhz[0]);
  capabilities.DataRate.Default = DefaultDataRate;
  capabilities.DataRate.Max = MaximumDataRate;
}

void InstallReaderFunctions(PSMARTCARD_EXTENSION SmartcardExtension) {
  SmartcardExtension->ReaderFunction[RDF_CARD_POWER] = CardPower;
  SmartcardExtension->ReaderFunction[RDF_TRANSMIT] = CardTransmit;
  SmartcardExtension->ReaderFunction[RDF_CARD_TRACKING] = CardTracking;
  SmartcardExtension->ReaderFunction[RDF_SET_PROTOCOL] = CardSetProtocol;
  SmartcardExtension->ReaderFunction[RDF_IOCTL_VENDOR] = VendorIoctl;
  SmartcardExtension->ReaderFunction[RDF_CARD_EJECT] = CardEject;
}
