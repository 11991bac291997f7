// The reader functions: what the smart-card library calls through the slots
// of the extension's reader-function table. Device creation installs them.
#pragma once

#include "platform/smclib/smclib.h"

// RDF_CARD_POWER: cold and warm reset with the ATR, and power down (driver/card/card_power.cpp).
NTSTATUS CardPower(PSMARTCARD_EXTENSION SmartcardExtension);
// RDF_TRANSMIT: one command APDU to the card and its response (driver/card/transmit.cpp).
NTSTATUS CardTransmit(PSMARTCARD_EXTENSION SmartcardExtension);
// RDF_SET_PROTOCOL: records T=1 or T=0 for the reset card (driver/card/card_protocol.cpp).
NTSTATUS CardSetProtocol(PSMARTCARD_EXTENSION SmartcardExtension);
// RDF_CARD_EJECT (driver/card/card_eject.cpp).
NTSTATUS CardEject(PSMARTCARD_EXTENSION SmartcardExtension);
// RDF_CARD_TRACKING: the waiting is-present / is-absent request (driver/tracking/card_tracking.cpp).
NTSTATUS CardTracking(PSMARTCARD_EXTENSION SmartcardExtension);
// RDF_IOCTL_VENDOR: the eight vendor control codes (driver/reader/vendor_ioctl.cpp).
NTSTATUS VendorIoctl(PSMARTCARD_EXTENSION SmartcardExtension);
