#!/usr/bin/python3
"""A PC/SC application's view of one reader (pyscard): latency of GET
CHALLENGE (8 bytes back) and of UPDATE BINARY with more and more data, one
tab-separated record per APDU on standard output:

    apdu  STACK  LABEL  APDU-BYTES-BOTH-WAYS  MILLISECONDS  SW1SW2

    pcsc_client.py STACK COUNT   (PCSCLITE_CSOCK_NAME names the pcscd)
"""
import sys
import time

from smartcard.System import readers
from smartcard.Exceptions import CardConnectionException, NoCardException

SIZES = [16, 255, 1024, 4096]


def connect(deadline):
    while time.monotonic() < deadline:
        try:
            for reader in readers():
                connection = reader.createConnection()
                try:
                    connection.connect()
                    return connection
                except (CardConnectionException, NoCardException):
                    pass
        except Exception:  # pcscd still starting, or no reader yet
            pass
        time.sleep(0.2)
    raise SystemExit("pcsc_client: no card became ready")


def update_binary(n):
    header = [0x00, 0xD6, 0x00, 0x00] + ([n] if n <= 255 else [0x00, n >> 8, n & 0xFF])
    return header + [(i * 7) & 0xFF for i in range(n)]


def measure(connection, stack, label, apdu, count):
    for _ in range(3):
        connection.transmit(apdu)
    for _ in range(count):
        start = time.perf_counter()
        data, sw1, sw2 = connection.transmit(apdu)
        elapsed = (time.perf_counter() - start) * 1000.0
        print(f"apdu\t{stack}\t{label}\t{len(apdu) + len(data) + 2}\t{elapsed:.4f}\t{sw1:02X}{sw2:02X}",
              flush=True)


def main():
    stack, count = sys.argv[1], int(sys.argv[2])
    connection = connect(time.monotonic() + 30)
    measure(connection, stack, "GET CHALLENGE 8", [0x00, 0x84, 0x00, 0x00, 0x08], count)
    for n in SIZES:
        measure(connection, stack, f"UPDATE BINARY {n}", update_binary(n), max(count // 4, 3))
    connection.disconnect()


if __name__ == "__main__":
    main()
