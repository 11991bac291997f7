// What the reader tells the resource manager about itself before it is
// started: the identity in VendorAttr (the reader type comes from the
// deliverable's ModelIdentity), the static capabilities, and the table of
// reader functions the smart-card library calls.
#pragma once

#include "platform/smclib/smclib.h"

// Fills VendorAttr with the vendor, the reader type, no serial number and
// version 1.0 build 0 (start replaces the version by the firmware's). The
// unit number is taken once the reader is registered.
void FillReaderIdentity(PSMARTCARD_EXTENSION SmartcardExtension);

// Protocols, reader type, mechanics, clocks and data rates.
void FillReaderCapabilities(PSMARTCARD_EXTENSION SmartcardExtension);

// The six reader functions; every other slot stays empty.
void InstallReaderFunctions(PSMARTCARD_EXTENSION SmartcardExtension);
