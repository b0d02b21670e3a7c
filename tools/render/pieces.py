#!/usr/bin/python3
"""Write the bundled test pieces as Standard MIDI Files.

    pieces.py OUTDIR [NAME ...]

Every piece is a public-domain piano composition, typed in note by note
from the score: one track (format 0), a fixed tempo, program 0 (acoustic
grand piano), every onset on a 16th-note grid, every key within 36..96.
The files are written as OUTDIR/piece-NAME.mid; with NAMEs only those
pieces are written. `pieces.py --list` prints name, tempo, metre, length.

Note lists below are (onset, duration, key) with onset and duration in
16th notes from the start of the excerpt; velocities are per voice.
"""
import os
import sys

import mido

DIVISION = 480                 # ticks per quarter note
SIXTEENTH = DIVISION // 4
KEY_RANGE = (36, 96)

# Key numbers by name: C4 = 60.
_STEPS = {"C": 0, "D": 2, "E": 4, "F": 5, "G": 7, "A": 9, "B": 11}


def k(name):
    """'F#4' -> 66, 'Bb3' -> 58, 'C4' -> 60."""
    step = _STEPS[name[0]]
    rest = name[1:]
    while rest and rest[0] in "#b":
        step += 1 if rest[0] == "#" else -1
        rest = rest[1:]
    return 12 * (int(rest) + 1) + step


def keys(names):
    return [k(n) for n in names.split()]


class Piece:
    def __init__(self, name, title, composer, bpm, metre, key_sig):
        self.name, self.title, self.composer = name, title, composer
        self.bpm, self.metre, self.key_sig = bpm, metre, key_sig
        self.notes = []        # (onset16, dur16, key, velocity[, channel])
        self.programs = {0: 0}  # channel -> General MIDI program
        self.pedal = []        # (channel, down16, up16): sustain pedal held

    def add(self, onset, dur, key, velocity):
        self.notes.append((onset, dur, key, velocity))

    def seq(self, start, dur, names, velocity):
        """Consecutive notes of equal length."""
        for i, key in enumerate(keys(names)):
            self.add(start + i * dur, dur, key, velocity)

    def chord(self, start, dur, names, velocity):
        for key in keys(names):
            self.add(start, dur, key, velocity)

    def line(self, start, items, velocity):
        """A melody of (key-name or None for a rest, duration16) pairs."""
        t = start
        for name, dur in items:
            if name is not None:
                self.add(t, dur, k(name), velocity)
            t += dur
        return t

    @property
    def length16(self):
        return max(n[0] + n[1] for n in self.notes)

    def seconds(self):
        return self.length16 * 15.0 / self.bpm

    def midi(self):
        """The piece as a one-track Standard MIDI File at its constant tempo."""
        return one_track_midi(self, [mido.MetaMessage("set_tempo", tempo=mido.bpm2tempo(self.bpm), time=0)], [])


def ticks(sixteenths):
    """A time in 16ths (a whole number or a fraction: triplets, swing, strums) in ticks."""
    return int(round(sixteenths * SIXTEENTH))


def one_track_midi(piece, head, tempo_changes):
    """A type-0 MIDI file of the piece's notes: track name, metre and key, then
    the `head` messages and each channel's program at tick 0; `tempo_changes` holds
    (tick, microseconds per beat) pairs placed before the notes at their tick.
    A note is (onset16, dur16, key, velocity) on channel 0 or has its channel
    fifth; onsets and lengths may be fractions of a 16th (rounded to ticks)."""
    for note in piece.notes:
        on, dur, key, vel = note[:4]
        if not KEY_RANGE[0] <= key <= KEY_RANGE[1]:
            raise ValueError(f"{piece.name}: key {key} outside {KEY_RANGE}")
        if on < 0 or ticks(dur) <= 0 or not 1 <= vel <= 127:
            raise ValueError(f"{piece.name}: bad note {note}")
    # (tick, order, key, channel, message): tempo and pedal releases first,
    # then note-offs, note-ons, pedal presses.
    events = [(tick, 0, 0, 0, mido.MetaMessage("set_tempo", tempo=us)) for tick, us in tempo_changes]
    for note in piece.notes:
        on, dur, key, vel = note[:4]
        ch = note[4] if len(note) > 4 else 0
        events.append((ticks(on), 2, key, ch, mido.Message("note_on", channel=ch, note=key, velocity=vel)))
        events.append((ticks(on + dur), 1, key, ch,
                       mido.Message("note_off", channel=ch, note=key, velocity=64)))
    for ch, down, up in getattr(piece, "pedal", []):
        events.append((ticks(down), 3, 0, ch, mido.Message("control_change", channel=ch, control=64, value=127)))
        events.append((ticks(up), 0, 1, ch, mido.Message("control_change", channel=ch, control=64, value=0)))
    events.sort(key=lambda e: e[:4])
    programs = piece.programs
    num, den = piece.metre
    track = mido.MidiTrack([
        mido.MetaMessage("track_name", name=f"{piece.composer}: {piece.title}", time=0),
        mido.MetaMessage("time_signature", numerator=num, denominator=den, time=0),
        mido.MetaMessage("key_signature", key=piece.key_sig, time=0),
        *head,
        *[mido.Message("program_change", channel=ch, program=prog, time=0) for ch, prog in sorted(programs.items())],
    ])
    now = 0
    for tick, _, _, _, msg in events:
        track.append(msg.copy(time=tick - now))
        now = tick
    track.append(mido.MetaMessage("end_of_track", time=SIXTEENTH))
    mid = mido.MidiFile(type=0, ticks_per_beat=DIVISION)
    mid.tracks.append(track)
    return mid

def prelude():
    """J. S. Bach, Prelude in C major BWV 846 (Well-Tempered Clavier I),
    bars 1-4. Each half bar: bass (half note), tenor entering a 16th later
    and held to the half bar, then the six-note 16th figure above."""
    p = Piece("prelude", "Prelude in C major, BWV 846, bars 1-4", "Johann Sebastian Bach",
              66, (4, 4), "C")
    add_prelude_bars(p, ["C4 E4 G4 C5 E5",       # C
                         "C4 D4 A4 D5 F5",       # Dm7/C
                         "B3 D4 G4 D5 F5",       # G7/B
                         "C4 E4 G4 C5 E5"])      # C
    return p


def add_prelude_bars(p, bars):
    """The Prelude's figuration over bars of five keys (bass, tenor, three above)."""
    for b, names in enumerate(bars):
        bass, tenor, a, b2, c = keys(names)
        for half in range(2):
            t = b * 16 + half * 8
            p.add(t, 8, bass, 72)
            p.add(t + 1, 7, tenor, 64)
            for i, key in enumerate([a, b2, c, a, b2, c]):
                p.add(t + 2 + i, 1, key, 70)


def minuet():
    """Minuet in G major BWV Anh. 114 (Notebook for Anna Magdalena Bach,
    attributed to Christian Petzold), bars 1-8."""
    p = Piece("minuet", "Minuet in G major, BWV Anh. 114, bars 1-8",
              "Christian Petzold (attr.), from the Notebook for Anna Magdalena Bach",
              112, (3, 4), "G")
    q, e = 4, 2
    p.line(0, [("D5", q), ("G4", e), ("A4", e), ("B4", e), ("C5", e),
               ("D5", q), ("G4", q), ("G4", q),
               ("E5", q), ("C5", e), ("D5", e), ("E5", e), ("F#5", e),
               ("G5", q), ("G4", q), ("G4", q),
               ("C5", q), ("D5", e), ("C5", e), ("B4", e), ("A4", e),
               ("B4", q), ("C5", e), ("B4", e), ("A4", e), ("G4", e),
               ("F#4", q), ("G4", e), ("A4", e), ("B4", e), ("G4", e),
               ("A4", 3 * q)], 80)
    p.chord(0, 2 * q, "G3 B3 D4", 62)
    p.add(2 * q, q, k("A3"), 62)
    for bar, name in enumerate(["B3", "C4", "B3", "A3", "G3"], start=1):
        p.add(bar * 12, 3 * q, k(name), 62)
    p.line(6 * 12, [("D4", q), ("B3", q), ("G3", q),
                    ("D3", q), ("D4", e), ("C4", e), ("B3", e), ("A3", e)], 62)
    return p


def gymnopedie():
    """Erik Satie, Gymnopedie No. 1 (1888), bars 1-8: the rocking bass
    and chords of G major 7 and D major 7, and the first melodic phrase."""
    p = Piece("gymnopedie", "Gymnopedie No. 1, bars 1-8", "Erik Satie", 84, (3, 4), "D")
    q = 4
    for bar in range(8):
        t = bar * 12
        if bar % 2 == 0:
            p.add(t, 3 * q, k("G2"), 66)
            p.chord(t + q, 2 * q, "B3 D4 F#4", 52)
        else:
            p.add(t, 3 * q, k("D2"), 66)
            p.chord(t + q, 2 * q, "A3 C#4 F#4", 52)
    p.line(4 * 12, [(None, q), ("F#5", q), ("A5", q),
                    ("G5", q), ("F#5", q), ("C#5", q),
                    ("B4", q), ("C#5", q), ("D5", q),
                    ("A4", 3 * q)], 78)
    return p


def elise():
    """Ludwig van Beethoven, Bagatelle in A minor WoO 59 ("Fur Elise"),
    bars 1-8 with the upbeat (first ending)."""
    p = Piece("elise", "Bagatelle in A minor, WoO 59, bars 1-8", "Ludwig van Beethoven",
              66, (3, 8), "Am")
    rh, lh = 76, 60
    p.seq(0, 1, "E5 D#5", rh)                       # upbeat
    bar = lambda n: 2 + (n - 1) * 6
    turn = "E5 D#5 E5 B4 D5 C5"
    p.seq(bar(1), 1, turn, rh)
    p.add(bar(2), 2, k("A4"), rh); p.seq(bar(2), 1, "A2 E3 A3", lh); p.seq(bar(2) + 3, 1, "C4 E4 A4", rh)
    p.add(bar(3), 2, k("B4"), rh); p.seq(bar(3), 1, "E2 E3 G#3", lh); p.seq(bar(3) + 3, 1, "E4 G#4 B4", rh)
    p.add(bar(4), 2, k("C5"), rh); p.seq(bar(4), 1, "A2 E3 A3", lh); p.seq(bar(4) + 3, 1, "E4 E5 D#5", rh)
    p.seq(bar(5), 1, turn, rh)
    p.add(bar(6), 2, k("A4"), rh); p.seq(bar(6), 1, "A2 E3 A3", lh); p.seq(bar(6) + 3, 1, "C4 E4 A4", rh)
    p.add(bar(7), 2, k("B4"), rh); p.seq(bar(7), 1, "E2 E3 G#3", lh); p.seq(bar(7) + 3, 1, "E4 C5 B4", rh)
    p.add(bar(8), 6, k("A4"), rh); p.seq(bar(8), 1, "A2 E3 A3", lh)
    return p


PIECES = {f.__name__: f for f in (prelude, minuet, gymnopedie, elise)}


def main(argv):
    if argv[:1] == ["--list"]:
        for name, make in PIECES.items():
            p = make()
            print(f"{name:11s} {p.bpm:4d} bpm  {p.metre[0]}/{p.metre[1]}  {p.seconds():5.1f} s  "
                  f"{len(p.notes):3d} notes  {p.composer}: {p.title}")
        return 0
    if not argv or argv[0].startswith("-"):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    return write_named(argv[0], argv[1:], PIECES, write_midi)


def write_midi(outdir, name):
    """Writes piece-NAME.mid in outdir; returns its path."""
    path = os.path.join(outdir, f"piece-{name}.mid")
    PIECES[name]().midi().save(path)
    return path


def write_named(outdir, names, known, write_one):
    """Runs write_one(outdir, name) for the names (all known pieces if none),
    printing each path it returns; 2 for an unknown name, else 0."""
    os.makedirs(outdir, exist_ok=True)
    for name in names or list(known):
        if name not in known:
            print(f"unknown piece {name!r}; known: {' '.join(known)}", file=sys.stderr)
            return 2
        print(write_one(outdir, name))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
