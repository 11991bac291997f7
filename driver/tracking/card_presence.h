// Whether a card is in the reader, by the rule of each moment that asks.
// The reader's status byte (GetReaderStatus) has a card-in bit (0x08), a
// card-powered bit (0x10) and a set-up bit (0x20); each moment weighs them
// its own way, and the library's card state is a view of its own.
#pragma once

#include "platform/kernel/wdm.h"

// The presence poll: the card-in bit alone decides (0x38 has it too).
BOOLEAN PollSeesCard(UCHAR ReaderStatus);

// Card power, and the card check as the device goes to D3: set up and card
// in, 0x28 (a card the reader has not set up does not count).
BOOLEAN CardPowerSeesCard(UCHAR ReaderStatus);

// Device start: card in, powered and set up, 0x38, a card whose ATR can be
// read without a reset. A card not yet powered counts as none until the
// first poll sees it.
BOOLEAN StartSeesPoweredCard(UCHAR ReaderStatus);

// The card state the library keeps: any state above SCARD_ABSENT.
BOOLEAN CardStateShowsCard(ULONG CurrentState);
