"""The MIDI files the controller tests play, built in memory."""
import struct


def short_song(key):
    """A note on key, 9 ticks long at 96 ticks a quarter: about 0.05 s."""
    events = bytes([0x00, 0x90, key, 100, 0x09, 0x80, key, 0, 0x00, 0xFF, 0x2F, 0x00])
    return b"MThd" + struct.pack(">IHHH", 6, 0, 1, 96) + b"MTrk" + struct.pack(">I", len(events)) + events
