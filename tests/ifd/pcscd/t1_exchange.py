"""T=1 on reader A: short APDUs, the largest command the driver accepts
(65,542 bytes), a 65,536-byte response, reconnect with reset, disconnect
with unpower."""

from smartcard.scard import (SCARD_ATTR_ICC_INTERFACE_STATUS, SCARD_LEAVE_CARD, SCARD_PCI_T1, SCARD_PROTOCOL_T1,
                             SCARD_RESET_CARD, SCARD_SHARE_DIRECT, SCARD_SHARE_SHARED, SCARD_UNPOWER_CARD,
                             SCardConnect, SCardDisconnect, SCardGetAttrib, SCardReconnect, SCardTransmit)

from pcsc_checks import check, context, finish, hexstr, reader_named, require

GET_CHALLENGE = [0x00, 0x84, 0x00, 0x00, 0x08]

hcontext = context()
reader = reader_named(hcontext, "KT2210USB A")
hresult, hcard, protocol = SCardConnect(hcontext, reader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1)
require("connect T=1", hresult)
check("T=1 connect", protocol == SCARD_PROTOCOL_T1, str(protocol))

hresult, first = SCardTransmit(hcard, SCARD_PCI_T1, GET_CHALLENGE)
require("GET CHALLENGE", hresult)
check("T=1 GET CHALLENGE: 8 bytes and 90 00", len(first) == 10 and first[-2:] == [0x90, 0x00], hexstr(first))
hresult, selected = SCardTransmit(hcard, SCARD_PCI_T1, [0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00])
check("T=1 SELECT MF", hresult == 0 and selected == [0x90, 0x00], hexstr(selected))

# 80 22 echo, extended case 3 with 65,535 data bytes: 65,542 bytes in all.
data = [(i * 7) & 0xFF for i in range(65535)]
command = [0x80, 0x22, 0x00, 0x00, 0x00, 0xFF, 0xFF] + data
hresult, answer = SCardTransmit(hcard, SCARD_PCI_T1, command)
check("T=1 65,542-byte command", len(command) == 65542 and hresult == 0 and answer == [0x90, 0x00],
      "%x %s" % (hresult, hexstr(answer[:4])))
# One byte more is refused, and the reader goes on.
hresult, answer = SCardTransmit(hcard, SCARD_PCI_T1, command + [0x00])
check("T=1 65,543-byte command refused", hresult != 0, "%x %s" % (hresult, hexstr(answer[:4])))
# Data echoed back in a case 4 command of the largest size (Le 0000).
data = data[:65533]
hresult, answer = SCardTransmit(hcard, SCARD_PCI_T1, [0x80, 0x22, 0x00, 0x00, 0x00, 0xFF, 0xFD] + data + [0, 0])
check("T=1 extended echo of 65,533 bytes", hresult == 0 and answer[:-2] == data and answer[-2:] == [0x90, 0x00],
      "%x, %d bytes" % (hresult, len(answer)))
# 80 20 generate with P1-P2 0000 and Le 0000: 65,536 data bytes.
hresult, answer = SCardTransmit(hcard, SCARD_PCI_T1, [0x80, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00])
check("T=1 65,536-byte response", hresult == 0 and len(answer) == 65538 and answer[65535] == 0xFF
      and answer[-2:] == [0x90, 0x00], "%x, %d bytes" % (hresult, len(answer)))

# The card's challenges restart with every reset: the same first challenge.
hresult, protocol = SCardReconnect(hcard, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, SCARD_RESET_CARD)
require("reconnect with reset", hresult)
hresult, again = SCardTransmit(hcard, SCARD_PCI_T1, GET_CHALLENGE)
check("reconnect with reset: the challenge sequence restarts", hresult == 0 and again == first,
      "%s after %s" % (hexstr(again), hexstr(first)))

require("disconnect unpowering", SCardDisconnect(hcard, SCARD_UNPOWER_CARD))
# A direct connection does not power the card: the contacts are inactive.
hresult, hcard, protocol = SCardConnect(hcontext, reader, SCARD_SHARE_DIRECT, 0)
require("direct connect", hresult)
hresult, status = SCardGetAttrib(hcard, SCARD_ATTR_ICC_INTERFACE_STATUS)
check("disconnect with unpower: contacts inactive", hresult == 0 and list(status) == [0],
      "%x %s" % (hresult, status))
require("disconnect", SCardDisconnect(hcard, SCARD_LEAVE_CARD))
finish(hcontext)
