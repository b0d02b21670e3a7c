#!/usr/bin/python3
"""Write test pieces for beat tracking: MIDI files with their true beats.

    beat_pieces.py [--wav] OUTDIR [NAME ...]

For every piece (all of them, or the NAMEs given) this writes
OUTDIR/beats-NAME.mid and OUTDIR/beats-NAME.json and prints the .mid path;
with --wav it also renders OUTDIR/beats-NAME.wav (fluidsynth, 44100 Hz
16-bit stereo, peak-normalised to -1 dBFS, the same on every run) and
prints that path instead. `beat_pieces.py --list` prints the pieces.

The first pieces are those of tools/render/pieces.py, played at other tempi,
some with the repeat, one with a written ritardando and one with an
accelerando: their tempo changes beat by beat (one set_tempo event per
beat). The others are tunes over a chord a bar in 2/4, 3/4, 6/8 and 4/4 at
slow and fast tempi, some on other instruments, for judging the metre. The
beat is the quarter note, in 6/8 the dotted quarter.

The JSON file holds what a beat tracker and a transcription are judged by:
    beats     true beat times in seconds from the start of the rendering,
              one per written beat while the music sounds, computed from
              the tempo map exactly as the synthesiser plays it
    downbeats the bar lines in seconds, from the first one (after a pick-up)
    beat16    the written beat in 16th notes (4, or 6 in 6/8)
    tempo     median tempo in beats per minute (of the beat intervals)
    tempi     the tempo of every beat in beats per minute
    notes     [onset in beats, key] of every note, by onset then key
plus name, title, composer, metre, program and the nominal tempo range.
"""
import json
import math
import os
import statistics
import subprocess
import sys
import tempfile
import wave

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pieces  # noqa: E402  (beside this file)
from pieces import DIVISION  # noqa: E402

SOUNDFONT = "/usr/share/sounds/sf2/FluidR3_GM.sf2"
RATE = 44100


class BeatPiece:
    """Notes in 16ths (onset16, dur16, key, velocity) and a tempo for every written beat.

    beat16 is the written beat in 16ths (4: a quarter note, 6: a dotted
    quarter); downbeat16 is where the first bar line lies after the start
    (0, or the length of a pick-up); the bars are metre-long from there."""

    def __init__(self, name, source, notes, tempi, beat16=4, downbeat16=0):
        self.name = name
        self.title, self.composer, self.metre = source.title, source.composer, source.metre
        self.key_sig = source.key_sig
        self.programs = dict(source.programs)
        self.program = self.programs.get(0, 0)
        self.pedal = list(source.pedal)
        self.notes = sorted(notes)
        self.tempi = list(tempi)
        self.beat16, self.downbeat16 = beat16, downbeat16
        if len(self.tempi) < self.beat_count:
            raise ValueError(f"{name}: {len(self.tempi)} tempi for {self.beat_count} beats")

    @property
    def length16(self):
        """End of the last note in 16ths."""
        return max(n[0] + n[1] for n in self.notes)

    @property
    def bar16(self):
        """A bar in 16ths, from the metre."""
        num, den = self.metre
        return num * 16 // den

    @property
    def beat_count(self):
        """Written beats while the music sounds (a beat on the final barline is not one)."""
        return int(math.ceil(self.length16 / self.beat16))

    def microseconds(self):
        """The set_tempo value of every beat: microseconds per quarter note, whole numbers."""
        return [int(round(60e6 / bpm * 4 / self.beat16)) for bpm in self.tempi[:self.beat_count]]

    def beat_times(self):
        """Seconds of every beat from the start, as the synthesiser plays the tempo map."""
        times, now = [], 0.0
        for us in self.microseconds():
            times.append(now)
            now += us / 1e6 * self.beat16 / 4
        return times

    def time_of(self, at16):
        """Seconds of a point given in 16ths from the start."""
        times = self.beat_times()
        beat = min(at16 // self.beat16, len(times) - 1)
        length = self.microseconds()[beat] / 1e6 / 4
        return times[beat] + (at16 - beat * self.beat16) * length

    def seconds(self):
        """Length of the music in seconds, to the end of the last note."""
        return self.time_of(self.length16)

    def downbeats(self):
        """Seconds of every bar line from the first one while the music sounds."""
        return [self.time_of(at) for at in range(self.downbeat16, self.length16, self.bar16)]

    def midi(self):
        """The piece as a one-track Standard MIDI File with a set_tempo on every beat that changes it."""
        changes, previous = [], None
        for beat, us in enumerate(self.microseconds()):
            if us != previous:
                changes.append((beat * self.beat16 * DIVISION // 4, us))
                previous = us
        return pieces.one_track_midi(self, [], changes)

    def reference(self):
        """The JSON record: true beats, downbeats, tempi and the reference notes in beats."""
        beats = self.beat_times()
        intervals = [b - a for a, b in zip(beats, beats[1:])]
        return {
            "name": self.name,
            "title": self.title,
            "composer": self.composer,
            "metre": list(self.metre),
            "program": self.program,
            "beat16": self.beat16,
            "tempo": round(60 / statistics.median(intervals), 4),
            "tempo_first": self.tempi[0],
            "tempo_last": self.tempi[self.beat_count - 1],
            "seconds": round(self.seconds(), 6),
            "beats": [round(t, 6) for t in beats],
            "downbeats": [round(t, 6) for t in self.downbeats()],
            "tempi": [round(60e6 / us * 4 / self.beat16, 4) for us in self.microseconds()],
            "notes": [[float(n[0]) / self.beat16, n[2]] for n in self.notes],
        }


def repeated(notes, times, length16):
    """The notes played `times` times in a row, each time length16 later."""
    return [(n[0] + i * length16, *n[1:]) for i in range(times) for n in notes]


def steady(bpm, beats):
    """The same tempo on every beat."""
    return [bpm] * beats


def gradual(first, last, beats):
    """A tempo moving evenly, beat by beat, from `first` to `last` beats per minute."""
    return [first + (last - first) * i / (beats - 1) for i in range(beats)]


def prelude_bars_1_to_8():
    """Bach's Prelude in C, BWV 846, bars 1-8, in the figuration of pieces.prelude()."""
    source = pieces.prelude()
    source.title = "Prelude in C major, BWV 846, bars 1-8"
    source.notes = []
    bars = ["C4 E4 G4 C5 E5",       # C
            "C4 D4 A4 D5 F5",       # Dm7/C
            "B3 D4 G4 D5 F5",       # G7/B
            "C4 E4 G4 C5 E5",       # C
            "C4 E4 A4 E5 A5",       # Am/C
            "C4 D4 F#4 A4 D5",      # D7/C
            "B3 D4 G4 D5 G5",       # G/B
            "B3 C4 E4 G4 C5"]       # Cmaj7/B
    pieces.add_prelude_bars(source, bars)
    return source


def minuet_twice(name, tempi_of):
    """The minuet's eight bars played twice (24 beats each time); tempi_of(beats) gives the tempi."""
    source = pieces.minuet()
    length16 = 8 * 12
    assert source.length16 == length16
    source.title = "Minuet in G major, BWV Anh. 114, bars 1-8 played twice"
    notes = repeated(source.notes, 2, length16)
    return BeatPiece(name, source, notes, tempi_of(2 * length16 // 4))


def make_minuet_96():
    """The minuet at 96 beats per minute, with the repeat: about 30 s."""
    return minuet_twice("minuet-96", lambda n: steady(96, n))


def make_minuet_132():
    """The minuet at 132 beats per minute, with the repeat: about 22 s."""
    return minuet_twice("minuet-132", lambda n: steady(132, n))


def make_gymnopedie_72():
    """Satie's Gymnopedie No. 1, bars 1-8, at 72 beats per minute: 20 s."""
    source = pieces.gymnopedie()
    return BeatPiece("gymnopedie-72", source, source.notes, steady(72, 24))


def make_prelude_80():
    """Bach's Prelude in C, bars 1-8, at 80 beats per minute: 24 s.

    A hard case rather than a steady reference: every onset is an even
    16th and the arpeggio repeats every three 16ths, so nothing in the
    sound marks the quarter note but the bass twice a bar."""
    source = prelude_bars_1_to_8()
    return BeatPiece("prelude-80", source, source.notes, steady(80, 32))


def make_minuet_ritardando():
    """The minuet with the repeat, slowing evenly from 120 to 80 beats per minute: about 29 s."""
    return minuet_twice("minuet-ritardando", lambda n: gradual(120, 80, n))


def make_minuet_accelerando():
    """The minuet with the repeat, quickening evenly from 90 to 130 beats per minute: about 26 s."""
    return minuet_twice("minuet-accelerando", lambda n: gradual(90, 130, n))


# Accompaniment chords: bass key and the keys above it.
CHORDS = {
    "C": ("C3", "E3 G3 C4"), "F": ("F2", "F3 A3 C4"), "G": ("G2", "D3 G3 B3"),
    "G7": ("G2", "F3 G3 B3"), "D": ("D3", "F#3 A3 D4"), "A7": ("A2", "E3 G3 C#4"),
    "Am": ("A2", "E3 A3 C4"), "Em": ("E3", "G3 B3 E4"),
}


def oompah(p, at, bar16, chord):
    """Bass on every quarter-note beat, the chord on the eighth after it."""
    bass, keys = CHORDS[chord]
    for beat in range(0, bar16, 4):
        p.add(at + beat, 2, pieces.k(bass), 70)
        p.chord(at + beat + 2, 2, keys, 56)


def waltz(p, at, bar16, chord):
    """Bass on the first beat, the chord on the others (quarter-note beats)."""
    bass, keys = CHORDS[chord]
    p.add(at, 4, pieces.k(bass), 70)
    for beat in range(4, bar16, 4):
        p.chord(at + beat, 4, keys, 54)


def compound(p, at, bar16, chord):
    """Per dotted-quarter beat: bass on its first eighth, the chord on the other two."""
    bass, keys = CHORDS[chord]
    for beat in range(0, bar16, 6):
        p.add(at + beat, 2, pieces.k(bass), 70)
        p.chord(at + beat + 2, 2, keys, 52)
        p.chord(at + beat + 4, 2, keys, 48)


def held(p, at, bar16, chord):
    """Bass and chord held through the bar."""
    bass, keys = CHORDS[chord]
    p.add(at, bar16, pieces.k(bass), 66)
    p.chord(at, bar16, keys, 52)


def chorale(p, at, bar16, chord):
    """Bass and chord on every quarter-note beat."""
    bass, keys = CHORDS[chord]
    for beat in range(0, bar16, 4):
        p.add(at + beat, 4, pieces.k(bass), 66)
        p.chord(at + beat, 4, keys, 54)


def song(name, title, composer, metre, key_sig, program, pickup16, melody, chords, style, times=2):
    """A tune over a chord a bar, played `times` times; the melody starts with its pick-up
    and its last bar is that much short, where the pick-up of the next time falls."""
    p = pieces.Piece(name, title, composer, 0, metre, key_sig)
    p.programs = {0: program}
    bar16 = metre[0] * 16 // metre[1]
    items = [(n, d) for part in melody for n, d in part]
    if sum(d for _, d in items) != len(chords) * bar16:
        raise ValueError(f"{name}: the melody does not fill {len(chords)} bars")
    for t in range(times):
        start = t * len(chords) * bar16
        p.line(start, items, 80)
        for bar, chord in enumerate(chords):
            style(p, start + pickup16 + bar * bar16, bar16, chord)
    return p


def tune(text):
    """Melody items from 'KEY:DUR16 ...' (R for a rest)."""
    items = []
    for word in text.split():
        key, dur = word.split(":")
        items.append((None if key == "R" else key, int(dur)))
    return items


def make_susanna_104():
    """Foster's Oh! Susanna in 2/4 with an oom-pah bass, quarter note 104, twice: 19 s."""
    p = song("susanna", "Oh! Susanna, verse", "Stephen Foster", (2, 4), "C", 0, 4,
             [tune("C5:2 D5:2 E5:2 G5:2 G5:2 A5:2 G5:2 E5:2 C5:2 D5:2 E5:2 E5:2 D5:2 C5:2 D5:4 C5:2 D5:2"),
              tune("E5:2 G5:2 G5:2 A5:2 G5:2 E5:2 C5:2 D5:2 E5:2 E5:2 D5:2 D5:2 C5:4")],
             ["C", "C", "C", "G", "C", "C", "G", "C"], oompah)
    return BeatPiece("susanna-104", p, p.notes, steady(104, 40), 4, 4)


def make_yankee_66():
    """Yankee Doodle in 2/4 on a nylon guitar, quarter note 66, twice: 29 s."""
    p = song("yankee", "Yankee Doodle", "traditional", (2, 4), "C", 24, 0,
             [tune("C5:2 C5:2 D5:2 E5:2 C5:2 E5:2 D5:2 G4:2 C5:2 C5:2 D5:2 E5:2 C5:4 B4:4"),
              tune("C5:2 C5:2 D5:2 E5:2 F5:2 E5:2 D5:2 C5:2 B4:2 G4:2 A4:2 B4:2 C5:4 C5:4")],
             ["C", "C", "C", "G", "C", "F", "G", "C"], oompah)
    return BeatPiece("yankee-66", p, p.notes, steady(66, 40))


def make_grace_60():
    """Amazing Grace (New Britain) in 3/4, a chord held through each bar, quarter note 60,
    with a one-beat pick-up, twice: 54 s."""
    p = song("grace", "Amazing Grace (New Britain)", "traditional", (3, 4), "G", 0, 4,
             [tune("D5:4 G5:8 B5:2 G5:2 B5:8 A5:4 G5:8 E5:4 D5:8 D5:4"),
              tune("G5:8 B5:2 G5:2 B5:8 A5:4 D6:12 D6:8")],
             ["G", "G", "C", "G", "G", "G", "D", "D"], held)
    return BeatPiece("grace-60", p, p.notes, steady(60, 60), 4, 4)


def make_danube_152():
    """A waltz after the Blue Danube in 3/4, quarter note 152, twice: 19 s."""
    p = song("danube", "Waltz after On the Beautiful Blue Danube", "Johann Strauss II", (3, 4), "D", 0, 0,
             [tune("D5:4 F#5:4 A5:4 A5:12 A5:4 F#5:4 A5:4 A5:12"),
              tune("C#5:4 E5:4 B5:4 B5:12 B5:4 G5:4 B5:4 B5:12")],
             ["D", "D", "D", "D", "A7", "A7", "A7", "A7"], waltz)
    return BeatPiece("danube-152", p, p.notes, steady(152, 60))


def make_row_52():
    """Row, Row, Row Your Boat in 6/8 on a flute with its accompaniment, dotted quarter 52,
    twice: 37 s."""
    p = song("row", "Row, Row, Row Your Boat", "traditional", (6, 8), "C", 73, 0,
             [tune("C5:6 C5:6 C5:4 D5:2 E5:6 E5:4 D5:2 E5:4 F5:2 G5:12"),
              tune("C6:2 C6:2 C6:2 G5:2 G5:2 G5:2 E5:2 E5:2 E5:2 C5:2 C5:2 C5:2 G5:4 F5:2 E5:4 D5:2 C5:12")],
             ["C", "C", "C", "C", "C", "C", "G7", "C"], compound)
    return BeatPiece("row-52", p, p.notes, steady(52, 40), 6)


def make_weasel_100():
    """Pop Goes the Weasel in 6/8, dotted quarter 100, twice: 19 s."""
    p = song("weasel", "Pop Goes the Weasel", "traditional", (6, 8), "C", 0, 0,
             [tune("C5:4 C5:2 D5:4 D5:2 E5:2 G5:2 E5:2 C5:6 C5:4 C5:2 D5:4 D5:2 E5:6 C5:6"),
              tune("C5:4 C5:2 D5:4 D5:2 E5:2 G5:2 E5:2 C5:6 A5:6 D5:4 F5:2 E5:6 C5:6")],
             ["C", "C", "C", "C", "C", "C", "F", "C"], compound)
    return BeatPiece("weasel-100", p, p.notes, steady(100, 40), 6)


def make_ode_112():
    """Beethoven's Ode to Joy in 4/4 on strings, a chord on every beat, quarter note 112,
    twice: 35 s."""
    p = song("ode", "Ode to Joy, from the Ninth Symphony", "Ludwig van Beethoven", (4, 4), "C", 48, 0,
             [tune("E5:4 E5:4 F5:4 G5:4 G5:4 F5:4 E5:4 D5:4 C5:4 C5:4 D5:4 E5:4 E5:6 D5:2 D5:8"),
              tune("E5:4 E5:4 F5:4 G5:4 G5:4 F5:4 E5:4 D5:4 C5:4 C5:4 D5:4 E5:4 D5:6 C5:2 C5:8")],
             ["C", "G", "C", "G", "C", "G", "C", "C"], chorale)
    return BeatPiece("ode-112", p, p.notes, steady(112, 64))


def make_hundredth_56():
    """The Old Hundredth in 4/4 on a church organ, a chord a bar, quarter note 56, once: 34 s."""
    p = song("hundredth", "Old Hundredth", "Louis Bourgeois (attr.)", (4, 4), "G", 19, 0,
             [tune("G4:4 G4:4 F#4:4 E4:4 D4:4 G4:4 A4:4 B4:4 B4:4 B4:4 B4:4 A4:4 G4:4 C5:4 B4:8"),
              tune("A4:4 G4:4 A4:4 B4:4 A4:4 G4:4 E4:4 F#4:4 G4:4 A4:4 F#4:4 E4:4 G4:16")],
             ["G", "G", "Em", "C", "D", "Em", "D", "G"], held, times=1)
    return BeatPiece("hundredth-56", p, p.notes, steady(56, 32))


PIECES = {
    "minuet-96": make_minuet_96,
    "minuet-132": make_minuet_132,
    "gymnopedie-72": make_gymnopedie_72,
    "prelude-80": make_prelude_80,
    "minuet-ritardando": make_minuet_ritardando,
    "minuet-accelerando": make_minuet_accelerando,
    "susanna-104": make_susanna_104,
    "yankee-66": make_yankee_66,
    "grace-60": make_grace_60,
    "danube-152": make_danube_152,
    "row-52": make_row_52,
    "weasel-100": make_weasel_100,
    "ode-112": make_ode_112,
    "hundredth-56": make_hundredth_56,
}


def read_wave(path):
    """(rate, channels, samples as float64, a row a frame) of a 16-bit WAV."""
    import numpy as np
    with wave.open(path, "rb") as w:
        if w.getsampwidth() != 2:
            raise ValueError(f"{path}: expected 16-bit samples")
        rate, channels = w.getframerate(), w.getnchannels()
        x = np.frombuffer(w.readframes(w.getnframes()), "<i2").astype(np.float64)
    return rate, channels, x.reshape(-1, channels)


def write_wave(path, rate, x):
    """Writes samples (a row a frame) as a 16-bit WAV, rounded and clipped."""
    import numpy as np
    with wave.open(path, "wb") as w:
        w.setnchannels(x.shape[1])
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(np.clip(np.round(x), -32768, 32767).astype("<i2").tobytes())


def normalise(src, dst):
    """Copies a 16-bit WAV with its peak at -1 dBFS."""
    import numpy as np
    rate, _, x = read_wave(src)
    peak = np.abs(x).max()
    if peak <= 0:
        raise ValueError(f"{src}: silent rendering")
    write_wave(dst, rate, x * (10 ** (-1 / 20) * 32767 / peak))


def render(mid_path, wav_path, soundfont=SOUNDFONT):
    """Renders a MIDI file with fluidsynth (as render.sh does) to a peak-normalised WAV."""
    with tempfile.TemporaryDirectory(prefix="beat-pieces-") as tmp:
        raw = os.path.join(tmp, "raw.wav")
        subprocess.run(["fluidsynth", "-ni", "-g", "1.0", "-F", raw, "-r", str(RATE), soundfont, mid_path],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        normalise(raw, wav_path)


def write(outdir, name, wav=False):
    """Writes beats-NAME.mid and .json (and .wav) in outdir; returns the paths as a dict."""
    piece = PIECES[name]()
    base = os.path.join(outdir, f"beats-{name}")
    paths = {"mid": base + ".mid", "json": base + ".json"}
    piece.midi().save(paths["mid"])
    with open(paths["json"], "w") as out:
        json.dump(piece.reference(), out, indent=1)
        out.write("\n")
    if wav:
        paths["wav"] = base + ".wav"
        render(paths["mid"], paths["wav"])
    return paths


def main(argv):
    if argv[:1] == ["--list"]:
        for name, make in PIECES.items():
            p = make()
            ref = p.reference()
            print(f"{name:18s} {ref['tempo_first']:5.1f}..{ref['tempo_last']:5.1f} bpm  "
                  f"{p.metre[0]}/{p.metre[1]}  {ref['seconds']:5.1f} s  {len(ref['beats']):3d} beats  "
                  f"{len(p.notes):3d} notes  {p.composer}: {p.title}")
        return 0
    wav = argv[:1] == ["--wav"]
    if wav:
        argv = argv[1:]
    if not argv or argv[0].startswith("-"):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    return pieces.write_named(argv[0], argv[1:], PIECES,
                              lambda outdir, name: write(outdir, name, wav)["wav" if wav else "mid"])


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
