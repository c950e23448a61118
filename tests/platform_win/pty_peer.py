#!/usr/bin/env python3
"""The far end of the serial test: a pseudo-terminal whose slave the Wine
program opens as a COM port. Prints the slave's path on its first line, then
waits for b"hello", answers b"ping", waits for b"pong" and closes the master
(a hang-up for the program). Exit code 0 when the exchange completed.
Usage: pty_peer.py <path-file>   (the slave path is also written there)"""
import os
import select
import sys
import termios
import tty

DEADLINE_S = 60.0


def read_exactly(fd, want):
    got = b""
    while len(got) < len(want):
        ready, _, _ = select.select([fd], [], [], DEADLINE_S)
        if not ready:
            break
        try:
            chunk = os.read(fd, 64)
        except OSError:
            break
        if not chunk:
            break
        got += chunk
    return got


def main():
    master, slave = os.openpty()
    tty.setraw(slave)
    attrs = termios.tcgetattr(slave)
    termios.tcsetattr(slave, termios.TCSANOW, attrs)
    path = os.ttyname(slave)
    with open(sys.argv[1], "w") as f:
        f.write(path + "\n")
    # Keep the slave open until the program has it, so the first open does not
    # meet a hung-up line; close it once "hello" arrived.
    hello = read_exactly(master, b"hello")
    os.close(slave)
    if hello != b"hello":
        print(f"peer: expected hello, got {hello!r}", file=sys.stderr)
        return 1
    os.write(master, b"ping")
    pong = read_exactly(master, b"pong")
    os.close(master)
    if pong != b"pong":
        print(f"peer: expected pong, got {pong!r}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
