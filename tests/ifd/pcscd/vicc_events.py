"""vsmartcard's card emulator vicc behind the emulated reader (card=vicc):
vicc connecting is a card inserted, seen by SCardGetStatusChange with vicc's
ATR; APDUs reach vicc's ISO/IEC 7816-4 card; vicc stopping is the card
removed. vicc is started with the workarounds for Debian 12's packaging
(PYTHONPATH from the environment, set up by run.sh)."""

import os
import signal
import subprocess
import time

from smartcard.scard import (SCARD_LEAVE_CARD, SCARD_PCI_T1, SCARD_PROTOCOL_T0, SCARD_PROTOCOL_T1,
                             SCARD_PCI_T0, SCARD_SHARE_SHARED, SCARD_STATE_EMPTY, SCARD_STATE_PRESENT,
                             SCARD_STATE_UNAWARE, SCardConnect, SCardDisconnect, SCardGetStatusChange,
                             SCardStatus, SCardTransmit)

from pcsc_checks import check, context, finish, hexstr, reader_named, require

BOUND_MS = 5000  # vicc's start (a Python program) comes on top of the poll

hcontext = context()
reader = reader_named(hcontext, "KT2210USB V")
port = os.environ["VICC_PORT"]


def state_now():
    hresult, states = SCardGetStatusChange(hcontext, 0, [(reader, SCARD_STATE_UNAWARE)])
    require("status", hresult)
    return states[0][1], states[0][2]


def wait_for(flag, bound_s=15.0):
    state, _ = state_now()
    start = time.monotonic()
    while not state & flag:
        remaining = int((start + bound_s - time.monotonic()) * 1000)
        if remaining <= 0:
            return None
        hresult, states = SCardGetStatusChange(hcontext, remaining, [(reader, state)])
        if hresult != 0:
            return None
        state = states[0][1]
    return (time.monotonic() - start) * 1000


check("vicc reader empty before vicc runs", state_now()[0] & SCARD_STATE_EMPTY)
log = open(os.environ["VICC_LOG"], "w")
vicc = subprocess.Popen(["vicc", "-t", "iso7816", "-v", "--hostname", "127.0.0.1", "--port", port],
                        stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
try:
    elapsed = wait_for(SCARD_STATE_PRESENT)
    check("vicc started: card seen within %d ms" % BOUND_MS, elapsed is not None and elapsed < BOUND_MS,
          "after %s ms (vicc %s)" % (elapsed, "running" if vicc.poll() is None else "ended %s" % vicc.poll()))
    print("# vicc's card seen after %.0f ms" % (elapsed or -1))
    if elapsed is not None:
        hresult, hcard, protocol = SCardConnect(hcontext, reader, SCARD_SHARE_SHARED,
                                                SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)
        require("connect to vicc's card", hresult)
        hresult, name, state, proto, atr = SCardStatus(hcard)
        check("vicc's ATR through the reader", hresult == 0 and len(atr) >= 2 and atr[0] in (0x3B, 0x3F), hexstr(atr))
        pci = SCARD_PCI_T1 if protocol == SCARD_PROTOCOL_T1 else SCARD_PCI_T0
        hresult, answer = SCardTransmit(hcard, pci, [0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00])
        check("SELECT MF answered by vicc", hresult == 0 and len(answer) >= 2 and answer[-2] in (0x90, 0x61, 0x6A),
              "%x %s" % (hresult, hexstr(answer)))
        hresult, answer = SCardTransmit(hcard, pci, [0x00, 0x84, 0x00, 0x00, 0x08])
        check("GET CHALLENGE answered by vicc", hresult == 0 and len(answer) >= 2, "%x %s" % (hresult, hexstr(answer)))
        print("# vicc answered GET CHALLENGE with %s" % hexstr(answer))
        require("disconnect", SCardDisconnect(hcard, SCARD_LEAVE_CARD))
finally:
    os.killpg(vicc.pid, signal.SIGTERM)
    try:
        vicc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        os.killpg(vicc.pid, signal.SIGKILL)
        vicc.wait(timeout=10)
    log.close()

elapsed = wait_for(SCARD_STATE_EMPTY)
check("vicc stopped: removal seen within %d ms" % BOUND_MS, elapsed is not None and elapsed < BOUND_MS,
      "after %s ms" % elapsed)
finish(hcontext)
