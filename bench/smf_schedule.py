"""When each event of a Standard MIDI File is due, computed from the file alone.

The records follow the player's merge: every track's channel messages and tempo
changes, earliest first, the lower track first on a tie, then a no-op at the
latest End of Track when that comes after them. Times are exact
(fractions of a microsecond kept): ticks per quarter note run at the latest
tempo (500000 us a quarter until the first tempo change); the SMPTE form runs
at frames x ticks per frame a second (29 meaning 29.97) and ignores tempo.
"""

from dataclasses import dataclass
from fractions import Fraction


@dataclass
class Record:
    tick: int
    due_us: float  # exact time, rounded only at the end
    word: int  # status | data1 << 8 | data2 << 16, 0x01000000 | tempo, or 0x02000000 (the closing rest)
    tempo: bool


def _quantity(data, i, end):
    value = 0
    while i < end:
        byte = data[i]
        i += 1
        value = (value << 7) | (byte & 0x7F)
        if not byte & 0x80:
            return value, i
    return None, end


def _track_events(data, start, end):
    """(tick, word, is_tempo) for each record-making event of one track, and
    the tick where the track ends."""
    events = []
    i, tick, running = start, 0, 0
    while i < end:
        delta, i = _quantity(data, i, end)
        if delta is None:
            break
        tick += delta
        if i >= end:
            break
        s = data[i]
        i += 1
        if s == 0xFF:
            kind = data[i]
            if kind == 0x2F:
                break
            if kind == 0x51:
                tempo = int.from_bytes(data[i + 2:i + 5], "big")
                events.append((tick, 0x01000000 | tempo, True))
                i += 5
                continue
            length, i = _quantity(data, i + 1, end)
            i += length
        elif s in (0xF0, 0xF7):
            length, i = _quantity(data, i, end)
            i += length
        elif s <= 0xEF:
            status = running
            if s >= 0x80:
                status = s
                first = data[i]
                i += 1
            else:
                first = s
            second = 0
            if status & 0xF0 not in (0xC0, 0xD0):
                second = data[i]
                i += 1
            running = status
            events.append((tick, status | first << 8 | second << 16, False))
        # 0xF1 to 0xFE: the status byte alone is stepped over.
    return events, tick


def division_of(path):
    with open(path, "rb") as f:
        return int.from_bytes(f.read(14)[12:14], "big")


def schedule(path):
    """Every record of the file in the player's order, with its due time."""
    with open(path, "rb") as f:
        data = f.read()
    tracks = int.from_bytes(data[10:12], "big")
    division = int.from_bytes(data[12:14], "big")
    merged = []
    offset = 14
    latest_end = 0
    for track in range(tracks):
        if offset + 8 > len(data):
            break
        length = int.from_bytes(data[offset + 4:offset + 8], "big")
        end = min(offset + 8 + length, len(data))
        events, track_end = _track_events(data, offset + 8, end)
        latest_end = max(latest_end, track_end)
        for seq, (tick, word, is_tempo) in enumerate(events):
            merged.append((tick, track, seq, word, is_tempo))
        offset = end
    merged.sort(key=lambda e: (e[0], e[1], e[2]))
    if latest_end > (merged[-1][0] if merged else 0):
        merged.append((latest_end, tracks, 0, 0x02000000, False))

    records = []
    if division & 0x8000:
        frames = 256 - (division >> 8)
        per_frame = division & 0xFF
        per_second = Fraction(30000, 1001) * per_frame if frames == 29 else Fraction(frames * per_frame)
        for tick, _, _, word, is_tempo in merged:
            records.append(Record(tick, float(Fraction(tick * 1000000) / per_second), word, is_tempo))
        return records

    tempo = 500000
    time = Fraction(0)
    last = 0
    for tick, _, _, word, is_tempo in merged:
        time += Fraction((tick - last) * tempo, division)
        last = tick
        records.append(Record(tick, float(time), word, is_tempo))
        if is_tempo:
            tempo = word & 0xFFFFFF
    return records
