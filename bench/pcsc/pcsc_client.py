#!/usr/bin/python3
"""A PC/SC application's view of one reader (pyscard): latency of GET
CHALLENGE (8 bytes back) and of UPDATE BINARY with more and more data, one
tab-separated record per APDU on standard output:

    apdu  STACK  LABEL  APDU-BYTES-BOTH-WAYS  MILLISECONDS  SW1SW2

    pcsc_client.py STACK COUNT   (PCSCLITE_CSOCK_NAME names the pcscd)

With --floor, two readers of the same pcscd take turns, command by command
(which goes first alternates): the zero-latency handler's, whose name starts
with FLOOR, and ours, whose name starts with OURS. Short, 261-byte and
4,105-byte commands, records of the same form that start with "floor":

    pcsc_client.py --floor FLOOR OURS COUNT
"""
import sys
import time

from smartcard.System import readers
from smartcard.Exceptions import CardConnectionException, NoCardException

SIZES = [16, 255, 1024, 4096]


def connect(deadline, prefix=""):
    while time.monotonic() < deadline:
        try:
            for reader in readers():
                if not str(reader).startswith(prefix):
                    continue
                connection = reader.createConnection()
                try:
                    connection.connect()
                    return connection
                except (CardConnectionException, NoCardException):
                    pass
        except Exception:  # pcscd still starting, or no reader yet
            pass
        time.sleep(0.2)
    raise SystemExit(f"pcsc_client: no card became ready in a reader named {prefix!r}...")


def update_binary(n, extended=False):
    header = [0x00, 0xD6, 0x00, 0x00] + ([n] if n <= 255 and not extended else [0x00, n >> 8, n & 0xFF])
    return header + [(i * 7) & 0xFF for i in range(n)]


def timed(connection, apdu):
    start = time.perf_counter()
    data, sw1, sw2 = connection.transmit(apdu)
    return (time.perf_counter() - start) * 1000.0, len(apdu) + len(data) + 2, f"{sw1:02X}{sw2:02X}"


def record(stack, label, sample, kind="apdu"):
    elapsed, size, sw = sample
    print(f"{kind}\t{stack}\t{label}\t{size}\t{elapsed:.4f}\t{sw}", flush=True)


def measure(connection, stack, label, apdu, count):
    for _ in range(3):
        connection.transmit(apdu)
    for _ in range(count):
        record(stack, label, timed(connection, apdu))


def against_floor(floor_name, ours_name, count):
    floor = connect(time.monotonic() + 30, floor_name)
    ours = connect(time.monotonic() + 30, ours_name)
    stacks = [("floor: zero-latency handler", floor), ("our handler, built-in card", ours)]
    # 5, 261 and 4,105 bytes: GET CHALLENGE, UPDATE BINARY with 254 and 4,098 bytes (extended length).
    commands = [("short: GET CHALLENGE 8", [0x00, 0x84, 0x00, 0x00, 0x08], count),
                ("261-byte command", update_binary(254, extended=True), count // 2),
                ("4,105-byte command", update_binary(4098), max(count // 8, 3))]
    for label, apdu, n in commands:
        for _, connection in stacks:
            for _ in range(3):
                connection.transmit(apdu)
        for i in range(n):
            for stack, connection in (stacks if i % 2 == 0 else stacks[::-1]):
                record(stack, label, timed(connection, apdu), "floor")
    floor.disconnect()
    ours.disconnect()


def main():
    if sys.argv[1] == "--floor":
        against_floor(sys.argv[2], sys.argv[3], int(sys.argv[4]))
        return
    stack, count = sys.argv[1], int(sys.argv[2])
    connection = connect(time.monotonic() + 30)
    measure(connection, stack, "GET CHALLENGE 8", [0x00, 0x84, 0x00, 0x00, 0x08], count)
    for n in SIZES:
        measure(connection, stack, f"UPDATE BINARY {n}", update_binary(n), max(count // 4, 3))
    connection.disconnect()


if __name__ == "__main__":
    main()
