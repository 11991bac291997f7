"""pcscd's own USB hot-plug: the reader served as a umockdev USB device
appears under the bundle's friendly name with its card and answers an APDU;
after the unplug (written to the device's server at SERVE_INPUT) pcscd
drops the reader."""

import os
import time

from smartcard.scard import (SCARD_LEAVE_CARD, SCARD_PCI_T1, SCARD_PROTOCOL_T1, SCARD_S_SUCCESS,
                             SCARD_SHARE_SHARED, SCardConnect, SCardDisconnect, SCardListReaders,
                             SCardStatus, SCardTransmit)

from pcsc_checks import check, context, finish, hexstr, reader_named, require

T1_ATR = [0x3B, 0x84, 0x81, 0x11, 0x20, 0x45, 0x4D, 0x55, 0x31, 0x58]

hcontext = context()
reader = reader_named(hcontext, "Kt2210p USB reader")
check("hot-plug: pcscd added the USB reader from the bundle", True, reader)
hresult, hcard, active = SCardConnect(hcontext, reader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1)
require("hot-plug: connect", hresult)
hresult, name, state, proto, atr = SCardStatus(hcard)
require("hot-plug: status", hresult)
check("hot-plug: the card's ATR through libusb", list(atr) == T1_ATR, hexstr(atr))
hresult, response = SCardTransmit(hcard, SCARD_PCI_T1, [0x00, 0xA4, 0x02, 0x0C, 0x02, 0x01, 0x01])
check("hot-plug: a T=1 APDU through libusb", hresult == SCARD_S_SUCCESS and list(response) == [0x90, 0x00],
      "%x %s" % (hresult, hexstr(response)))
SCardDisconnect(hcard, SCARD_LEAVE_CARD)

# The unplug: the runner's serve_reader takes the device off the bus.
with open(os.environ["SERVE_INPUT"], "w") as server:
    server.write("unplug\n")
deadline = time.monotonic() + 10
gone = False
while time.monotonic() < deadline and not gone:
    hresult, readers = SCardListReaders(hcontext, [])
    gone = hresult != SCARD_S_SUCCESS or not any(r.startswith("Kt2210p USB reader") for r in readers)
    if not gone:
        time.sleep(0.1)
check("hot-plug: the unplugged reader left pcscd", gone)
finish(hcontext)
