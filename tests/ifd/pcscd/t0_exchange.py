"""T=0 on reader B: short APDUs of each case, GET RESPONSE after 61 xx."""

from smartcard.scard import (SCARD_LEAVE_CARD, SCARD_PCI_T0, SCARD_PROTOCOL_T0, SCARD_PROTOCOL_T1,
                             SCARD_SHARE_SHARED, SCardConnect, SCardDisconnect, SCardTransmit)

from pcsc_checks import check, context, finish, hexstr, reader_named, require

hcontext = context()
reader = reader_named(hcontext, "KT2210USB B")
hresult, hcard, protocol = SCardConnect(hcontext, reader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)
require("connect T=0", hresult)
check("T=0 connect", protocol == SCARD_PROTOCOL_T0, str(protocol))

hresult, answer = SCardTransmit(hcard, SCARD_PCI_T0, [0x00, 0x84, 0x00, 0x00, 0x08])
check("T=0 case 2: GET CHALLENGE", hresult == 0 and len(answer) == 10 and answer[-2:] == [0x90, 0x00],
      hexstr(answer))
hresult, answer = SCardTransmit(hcard, SCARD_PCI_T0, [0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00])
check("T=0 case 3: SELECT MF", hresult == 0 and answer == [0x90, 0x00], hexstr(answer))
hresult, answer = SCardTransmit(hcard, SCARD_PCI_T0, [0x80, 0x22, 0x00, 0x00, 0x03, 0x0A, 0x0B, 0x0C, 0x03])
check("T=0 case 4: 61 03 announces the answer", hresult == 0 and answer == [0x61, 0x03], hexstr(answer))
hresult, answer = SCardTransmit(hcard, SCARD_PCI_T0, [0x00, 0xC0, 0x00, 0x00, 0x03])
check("T=0 GET RESPONSE", hresult == 0 and answer == [0x0A, 0x0B, 0x0C, 0x90, 0x00], hexstr(answer))
require("disconnect", SCardDisconnect(hcard, SCARD_LEAVE_CARD))
finish(hcontext)
