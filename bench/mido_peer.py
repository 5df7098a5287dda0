"""The peer: Python mido's MidiFile.play() yielding a file's messages in real time.

Usage: mido_peer.py FILE.mid OUT
OUT receives one line per yielded message: microseconds on CLOCK_MONOTONIC from
just before the first message was asked for, then the message's bytes in hex.
The file is read before the clock starts; play() itself merges the tracks on
its first step, as it does for any caller.
"""

import sys
import time

import mido


def main():
    if len(sys.argv) != 3:
        sys.exit("Usage: mido_peer.py FILE.mid OUT")
    midi = mido.MidiFile(sys.argv[1])
    stamps = []
    start = time.monotonic_ns()
    for message in midi.play():
        stamps.append((time.monotonic_ns(), message))
    with open(sys.argv[2], "w") as out:
        for at, message in stamps:
            out.write(f"{(at - start) / 1000:.1f} {message.bin().hex()}\n")


if __name__ == "__main__":
    main()
