"""What every end-to-end script shares: results as `ok NAME` or
`FAIL NAME: why` lines (the runner counts them), and the readers of the
test's pcscd found by their friendly names."""

import sys
import time

from smartcard.scard import (SCARD_S_SUCCESS, SCARD_SCOPE_USER, SCardEstablishContext, SCardGetErrorMessage,
                             SCardListReaders, SCardReleaseContext)

failures = 0


def check(name, condition, detail=""):
    global failures
    if condition:
        print("ok " + name, flush=True)
    else:
        failures += 1
        print("FAIL " + name + (": " + detail if detail else ""), flush=True)
    return condition


def require(name, hresult, what=""):
    """A PC/SC call that must succeed; raises so the script stops."""
    if hresult != SCARD_S_SUCCESS:
        check(name, False, "%s%s" % (what + ": " if what else "", SCardGetErrorMessage(hresult)))
        raise SystemExit(1)


def context():
    hresult, hcontext = SCardEstablishContext(SCARD_SCOPE_USER)
    require("establish context", hresult)
    return hcontext


def reader_named(hcontext, prefix, timeout=10.0):
    """The reader whose name starts with `prefix`, waiting for pcscd to add it."""
    deadline = time.monotonic() + timeout
    while True:
        hresult, readers = SCardListReaders(hcontext, [])
        if hresult == SCARD_S_SUCCESS:
            for reader in readers:
                if reader.startswith(prefix):
                    return reader
        if time.monotonic() > deadline:
            check("reader " + prefix, False, "not listed (readers: %s)" % (readers if hresult == 0 else "none"))
            raise SystemExit(1)
        time.sleep(0.1)


def hexstr(data):
    return " ".join("%02X" % b for b in data)


def finish(hcontext=None):
    if hcontext is not None:
        SCardReleaseContext(hcontext)
    sys.exit(1 if failures else 0)
