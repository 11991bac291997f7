"""What a PC/SC application sees of the handler in the test's pcscd, printed as
`ok NAME` or `FAIL NAME: why` lines that run.sh counts.
  builtin: readers A (T=1 card, control FIFO at $CONTROL_A) and B (T=0 card)
  hotplug: the USB reader pcscd's hot-plug found; $SERVE_INPUT unplugs it
  vicc: reader V (card=vicc on $VICC_PORT); vsmartcard's vicc connecting is the card going in"""
import os, signal, subprocess, sys, time

from smartcard.scard import *

T1_ATR = [0x3B, 0x84, 0x81, 0x11, 0x20, 0x45, 0x4D, 0x55, 0x31, 0x58]
T0_ATR = [0x3B, 0x04, 0x45, 0x4D, 0x55, 0x30]
CHALLENGE = [0x00, 0x84, 0x00, 0x00, 0x08]
SELECT_MF = [0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00]
failures = 0


def check(name, condition, detail=""):
    global failures
    failures += not condition
    print(("ok " if condition else "FAIL ") + name + ("" if condition or not detail else ": %s" % detail), flush=True)
    return condition


def require(name, hresult):
    if hresult != SCARD_S_SUCCESS:
        check(name, False, SCardGetErrorMessage(hresult))
        sys.exit(1)


def hexstr(data):
    return " ".join("%02X" % b for b in data)


def reader_named(prefix, present=True, timeout=10.0):
    """The reader whose name starts with `prefix` once pcscd lists it (or None once it is gone)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        hresult, readers = SCardListReaders(hcontext, [])
        found = [r for r in readers if r.startswith(prefix)] if hresult == SCARD_S_SUCCESS else []
        if bool(found) == present:
            return found[0] if found else None
        time.sleep(0.1)
    check("reader %s %s" % (prefix, "listed" if present else "gone"), False)
    sys.exit(1)


def wait_for(reader, flag, bound_ms, poke=None):
    """Milliseconds until SCardGetStatusChange reports `flag` (after `poke`), None past 10 s."""
    hresult, states = SCardGetStatusChange(hcontext, 0, [(reader, SCARD_STATE_UNAWARE)])
    state = states[0][1]
    if poke:
        poke()
    start = time.monotonic()
    while not state & flag:
        remaining = int((start + 10 - time.monotonic()) * 1000)
        hresult, states = SCardGetStatusChange(hcontext, max(remaining, 0), [(reader, state)])
        if hresult != SCARD_S_SUCCESS:
            return None
        state = states[0][1]
    elapsed = (time.monotonic() - start) * 1000
    print("# %s seen after %.0f ms" % ("card" if flag == SCARD_STATE_PRESENT else "no card", elapsed))
    return elapsed if elapsed < bound_ms else None


def connect(reader, protocols=SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, share=SCARD_SHARE_SHARED):
    hresult, hcard, protocol = SCardConnect(hcontext, reader, share, protocols)
    require("connect " + reader, hresult)
    return hcard, protocol


def transmit(name, hcard, protocol, command, expected, length=None):
    pci = SCARD_PCI_T1 if protocol == SCARD_PROTOCOL_T1 else SCARD_PCI_T0
    hresult, answer = SCardTransmit(hcard, pci, command)
    good = hresult == SCARD_S_SUCCESS and answer[-len(expected):] == expected if expected else hresult != 0
    check(name, good and (length is None or len(answer) == length), "%x %d bytes %s" % (hresult, len(answer), hexstr(answer[-8:])))
    return answer


def fifo_write(path, command):
    return lambda: open(path, "w").write(command + "\n")


def builtin():
    hresult, readers = SCardListReaders(hcontext, [])
    names = sorted(readers)
    check("two readers by their friendly names", [n[:11] for n in names] == ["KT2210USB A", "KT2210USB B"], names)
    for reader, atr, expected in ((names[0], T1_ATR, SCARD_PROTOCOL_T1), (names[1], T0_ATR, SCARD_PROTOCOL_T0)):
        hcard, protocol = connect(reader)
        hresult, _, _, _, got = SCardStatus(hcard)
        check("%s: its own card, ATR %s, protocol %d" % (reader, hexstr(atr), expected),
              list(got) == atr and protocol == expected, "%s, %d" % (hexstr(got), protocol))
        hresult, version = SCardControl(hcard, SCARD_CTL_CODE(2053), [])
        check("%s: the vendor version code" % reader, version == [0x50, 1, 0, 0, 2, 0x1B, 2, 0x27], hexstr(version))
        SCardDisconnect(hcard, SCARD_LEAVE_CARD)

    hcard, protocol = connect(names[0], SCARD_PROTOCOL_T1)
    first = transmit("T=1 GET CHALLENGE", hcard, protocol, CHALLENGE, [0x90, 0x00], 10)
    # 80 22 echo, extended case 3 with 65,535 data bytes: the largest command the driver takes, in chained blocks.
    command = [0x80, 0x22, 0x00, 0x00, 0x00, 0xFF, 0xFF] + [(i * 7) & 0xFF for i in range(65535)]
    transmit("T=1 65,542-byte command", hcard, protocol, command, [0x90, 0x00], 2)
    transmit("T=1 65,543-byte command refused", hcard, protocol, command + [0x00], None)
    # 80 20 generate with P1-P2 0000 and Le 0000: 65,536 data bytes.
    transmit("T=1 65,536-byte response", hcard, protocol, [0x80, 0x20, 0, 0, 0, 0, 0], [0xFF, 0x90, 0x00], 65538)
    # Faults through A's control FIFO, in one write: an R-block with error code 3 ends the next exchange,
    # then the card receives a damaged block, which the driver recovers from.
    fifo_write(os.environ["CONTROL_A"], "card fault r-block 3\ncard fault corrupt-received")()
    deadline = time.monotonic() + 5
    while SCardTransmit(hcard, SCARD_PCI_T1, CHALLENGE)[0] == SCARD_S_SUCCESS and time.monotonic() < deadline:
        time.sleep(0.05)
    check("control FIFO: card fault r-block 3 fails the exchange", time.monotonic() < deadline)
    transmit("control FIFO: the driver recovers from card fault corrupt-received", hcard, protocol, CHALLENGE,
             [0x90, 0x00], 10)
    # The card's challenges restart with every reset.
    require("reconnect with reset", SCardReconnect(hcard, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, SCARD_RESET_CARD)[0])
    transmit("reconnect with reset: the challenge sequence restarts", hcard, protocol, CHALLENGE, first)
    SCardDisconnect(hcard, SCARD_LEAVE_CARD)

    hcard, protocol = connect(names[1])
    transmit("T=0 GET CHALLENGE", hcard, protocol, CHALLENGE, [0x90, 0x00], 10)
    SCardDisconnect(hcard, SCARD_LEAVE_CARD)

    # Card events through A's control FIFO: seen within the 500 ms poll (bound generous for a loaded machine).
    fifo = os.environ["CONTROL_A"]
    check("removal seen", wait_for(names[0], SCARD_STATE_EMPTY, 3000, fifo_write(fifo, "remove")))
    check("insertion seen", wait_for(names[0], SCARD_STATE_PRESENT, 3000, fifo_write(fifo, "insert t1")))


def hotplug():
    reader = reader_named("Kt2210p USB reader")
    hcard, protocol = connect(reader, SCARD_PROTOCOL_T1)
    atr = SCardStatus(hcard)[4]
    check("hot-plug: the USB reader with its card, through libusb", list(atr) == T1_ATR, hexstr(atr))
    transmit("hot-plug: a T=1 APDU through libusb", hcard, protocol, SELECT_MF, [0x90, 0x00], 2)
    SCardDisconnect(hcard, SCARD_LEAVE_CARD)
    open(os.environ["SERVE_INPUT"], "w").write("unplug\n")
    check("hot-plug: the unplugged reader left pcscd", reader_named("Kt2210p USB reader", present=False) is None)


def vicc():
    reader = reader_named("KT2210USB V")
    log = open(os.environ["VICC_LOG"], "w")
    start = lambda: setattr(vicc, "process", subprocess.Popen(
        ["vicc", "-t", "iso7816", "-v", "--hostname", "127.0.0.1", "--port", os.environ["VICC_PORT"]],
        stdout=log, stderr=subprocess.STDOUT, start_new_session=True))
    # vicc's start (a Python program) comes on top of the poll.
    check("vicc started: its card seen", wait_for(reader, SCARD_STATE_PRESENT, 5000, start))
    try:
        hcard, protocol = connect(reader)
        check("vicc's ATR through the reader", SCardStatus(hcard)[4][:1] in ([0x3B], [0x3F]))
        transmit("GET CHALLENGE answered by vicc", hcard, protocol, CHALLENGE, [0x90, 0x00], 10)
        SCardDisconnect(hcard, SCARD_LEAVE_CARD)
    finally:
        os.killpg(vicc.process.pid, signal.SIGTERM)
        vicc.process.wait(timeout=10)
    check("vicc stopped: the removal seen", wait_for(reader, SCARD_STATE_EMPTY, 5000))


hresult, hcontext = SCardEstablishContext(SCARD_SCOPE_USER)
require("establish context", hresult)
{"builtin": builtin, "hotplug": hotplug, "vicc": vicc}[sys.argv[1]]()
SCardReleaseContext(hcontext)
sys.exit(1 if failures else 0)
