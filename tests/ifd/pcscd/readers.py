"""Readers by their friendly names, each with its own card; the reader's
identity through SCardGetAttrib; the vendor version code and the feature
list through SCardControl."""

import sys

from smartcard.scard import (SCARD_ATTR_VENDOR_IFD_TYPE, SCARD_ATTR_VENDOR_NAME, SCARD_CTL_CODE,
                             SCARD_LEAVE_CARD, SCARD_PROTOCOL_T0, SCARD_PROTOCOL_T1, SCARD_SHARE_SHARED,
                             SCardConnect, SCardControl, SCardDisconnect, SCardGetAttrib, SCardListReaders,
                             SCardStatus)

from pcsc_checks import check, context, finish, hexstr, require

T1_ATR = [0x3B, 0x84, 0x81, 0x11, 0x20, 0x45, 0x4D, 0x55, 0x31, 0x58]
T0_ATR = [0x3B, 0x04, 0x45, 0x4D, 0x55, 0x30]

hcontext = context()
hresult, readers = SCardListReaders(hcontext, [])
require("list readers", hresult)
names = sorted(readers)
check("two readers by their friendly names", len(names) == 2 and names[0].startswith("KT2210USB A ")
      and names[1].startswith("KT2210USB B "), repr(names))

for reader, atr, protocol in ((names[0], T1_ATR, SCARD_PROTOCOL_T1), (names[1], T0_ATR, SCARD_PROTOCOL_T0)):
    hresult, hcard, active = SCardConnect(hcontext, reader, SCARD_SHARE_SHARED,
                                          SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)
    require("connect " + reader, hresult)
    check("%s: its own card and protocol" % reader, active == protocol, "protocol %d" % active)
    hresult, name, state, proto, got = SCardStatus(hcard)
    require("status " + reader, hresult)
    check("%s: ATR %s" % (reader, hexstr(atr)), list(got) == atr, hexstr(got))

    hresult, vendor = SCardGetAttrib(hcard, SCARD_ATTR_VENDOR_NAME)
    require("vendor attribute", hresult)
    check("%s: vendor ZUNTA" % reader, bytes(vendor).rstrip(b"\0") == b"ZUNTA", repr(bytes(vendor)))
    hresult, ifd_type = SCardGetAttrib(hcard, SCARD_ATTR_VENDOR_IFD_TYPE)
    require("IFD type attribute", hresult)
    check("%s: IFD type KT2210USB" % reader, bytes(ifd_type).rstrip(b"\0") == b"KT2210USB", repr(bytes(ifd_type)))

    hresult, version = SCardControl(hcard, SCARD_CTL_CODE(2053), [])
    require("vendor version code", hresult)
    check("%s: version block 50 01 00 00 02 1B 02 27" % reader,
          list(version) == [0x50, 0x01, 0x00, 0x00, 0x02, 0x1B, 0x02, 0x27], hexstr(version))
    hresult, features = SCardControl(hcard, SCARD_CTL_CODE(3400), [])
    check("%s: feature list empty" % reader, hresult == 0 and len(features) == 0, "%x %s" % (hresult, features))
    hresult, _ = SCardControl(hcard, SCARD_CTL_CODE(1234), [])
    check("%s: unknown control code refused" % reader, hresult != 0)
    require("disconnect", SCardDisconnect(hcard, SCARD_LEAVE_CARD))

finish(hcontext)
