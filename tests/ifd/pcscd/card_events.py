"""Removal and insertion through the emulator's control FIFO, seen by
SCardGetStatusChange within the 500 ms poll plus an exchange."""

import os
import time

from smartcard.scard import (SCARD_LEAVE_CARD, SCARD_PCI_T1, SCARD_PROTOCOL_T1, SCARD_SHARE_SHARED,
                             SCARD_STATE_EMPTY, SCARD_STATE_PRESENT, SCARD_STATE_UNAWARE, SCardConnect,
                             SCardDisconnect, SCardGetStatusChange, SCardTransmit)

from pcsc_checks import check, context, finish, hexstr, reader_named, require

# The poll runs every 500 ms; pcscd then reads the state and tells its
# clients. A generous bound against a loaded machine.
BOUND_MS = 3000

hcontext = context()
reader = reader_named(hcontext, "KT2210USB A")
fifo = os.environ["CONTROL_A"]


def current_state():
    hresult, states = SCardGetStatusChange(hcontext, 0, [(reader, SCARD_STATE_UNAWARE)])
    require("status", hresult)
    return states[0][1]


def wait_for(flag, command):
    state = current_state()
    with open(fifo, "w") as control:
        control.write(command + "\n")
    start = time.monotonic()
    deadline = start + 10.0
    while True:
        remaining = int((deadline - time.monotonic()) * 1000)
        if remaining <= 0:
            return None
        hresult, states = SCardGetStatusChange(hcontext, remaining, [(reader, state)])
        if hresult != 0:
            return None
        state = states[0][1]
        if state & flag:
            return (time.monotonic() - start) * 1000


check("a card at start", current_state() & SCARD_STATE_PRESENT)
elapsed = wait_for(SCARD_STATE_EMPTY, "remove")
check("removal seen within %d ms" % BOUND_MS, elapsed is not None and elapsed < BOUND_MS, "after %s ms" % elapsed)
print("# removal seen after %.0f ms" % (elapsed or -1))
elapsed = wait_for(SCARD_STATE_PRESENT, "insert t1")
check("insertion seen within %d ms" % BOUND_MS, elapsed is not None and elapsed < BOUND_MS, "after %s ms" % elapsed)
print("# insertion seen after %.0f ms" % (elapsed or -1))

hresult, hcard, protocol = SCardConnect(hcontext, reader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1)
require("connect after insertion", hresult)
hresult, answer = SCardTransmit(hcard, SCARD_PCI_T1, [0x00, 0x84, 0x00, 0x00, 0x08])
check("exchange with the inserted card", hresult == 0 and answer[-2:] == [0x90, 0x00], hexstr(answer))
require("disconnect", SCardDisconnect(hcard, SCARD_LEAVE_CARD))
finish(hcontext)
