// The card's reader functions: what the smart-card library calls through
// four slots of the extension's reader-function table. Device creation
// installs them with CardTracking (driver/tracking/card_tracking.h) and
// VendorIoctl (driver/reader/vendor_ioctl.h).
#pragma once

#include "platform/smclib/smclib.h"

// RDF_CARD_POWER: cold and warm reset with the ATR, and power down (driver/card/card_power.cpp).
NTSTATUS NTAPI CardPower(PSMARTCARD_EXTENSION SmartcardExtension);
// RDF_TRANSMIT: one command APDU to the card and its response (driver/card/transmit.cpp).
NTSTATUS NTAPI CardTransmit(PSMARTCARD_EXTENSION SmartcardExtension);
// RDF_SET_PROTOCOL: records T=1 or T=0 for the reset card (driver/card/card_protocol.cpp).
NTSTATUS NTAPI CardSetProtocol(PSMARTCARD_EXTENSION SmartcardExtension);
// RDF_CARD_EJECT (driver/card/card_eject.cpp).
NTSTATUS NTAPI CardEject(PSMARTCARD_EXTENSION SmartcardExtension);
