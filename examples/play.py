#!/usr/bin/env python3
"""A tiny controller in Python: plays FIRST at volume 200, and when its first
pass has ended or SECONDS have passed (a timer), turns the volume down to 100
and switches to SECOND; lets SECOND play once, then stops the player cleanly.
    play.py FIRST.mid SECOND.mid [SECONDS]
The player is smfstream on the PATH, or the program $SMFSTREAM_PLAYER names."""
import os
import sys

import smfstream


def main():
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    first, second = sys.argv[1], sys.argv[2]
    timer = float(sys.argv[3]) if len(sys.argv) > 3 else 5.0
    program = os.environ.get("SMFSTREAM_PLAYER", "smfstream")
    try:
        with smfstream.Player(200, first, program=program) as player:
            try:
                player.wait_for_pass(timeout=timer)
                print(f"first pass played: switching to {second}")
            except smfstream.Timeout:
                print(f"timer: switching to {second}")
            before = player.passes
            player.set_volume(100)
            player.play(second)  # raises UnsendableName for a name it cannot send
            player.wait_for_passes(before + 2, timeout=60)  # the switched pass, then SECOND once
        # Leaving the block has stopped the player.
        print(f"smfstream ended: exit status {player.returncode} after {player.passes} passes")
        return 0 if player.returncode == 0 else 1
    except smfstream.SmfstreamError as error:
        print(error, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
