"""Receives one file by XMODEM on a serial device path with python3-xmodem (a peer we did not write).

Usage: xmodem_receive.py DEVICE OUTPUT crc|checksum
Exit code 0 when a file was received, 1 otherwise.
"""
import os
import select
import sys
import time
import tty

from xmodem import XMODEM


def main():
    path, output, check = sys.argv[1], sys.argv[2], sys.argv[3]
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)

    def getc(size, timeout=1):
        data = b""
        end = time.monotonic() + timeout
        while len(data) < size:
            left = end - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([fd], [], [], left)
            if not ready:
                break
            chunk = os.read(fd, size - len(data))
            if not chunk:
                break
            data += chunk
        return data or None

    def putc(data, timeout=1):
        sent = 0
        while sent < len(data):
            sent += os.write(fd, data[sent:])
        return sent

    modem = XMODEM(getc, putc, mode="xmodem1k")
    with open(output, "wb") as stream:
        count = modem.recv(stream, crc_mode=1 if check == "crc" else 0, retry=16, timeout=5, quiet=1)
    # Give the last ACK time to leave before the device closes.
    time.sleep(0.2)
    os.close(fd)
    sys.exit(0 if count is not None else 1)


if __name__ == "__main__":
    main()
