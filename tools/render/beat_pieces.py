#!/usr/bin/python3
"""Write test pieces for beat tracking: MIDI files with their true beats.

    beat_pieces.py [--wav] OUTDIR [NAME ...]

For every piece (all of them, or the NAMEs given) this writes
OUTDIR/beats-NAME.mid and OUTDIR/beats-NAME.json and prints the .mid path;
with --wav it also renders OUTDIR/beats-NAME.wav (fluidsynth, 44100 Hz
16-bit stereo, peak-normalised to -1 dBFS, the same on every run) and
prints that path instead. `beat_pieces.py --list` prints the pieces.

The notes are those of tools/render/pieces.py, played at other tempi, some
with the repeat, one with a written ritardando and one with an accelerando:
their tempo changes beat by beat (one set_tempo event per quarter note). The beat is the quarter note
in every piece.

The JSON file holds what a beat tracker and a transcription are judged by:
    beats     true beat times in seconds from the start of the rendering,
              one per quarter note while the music sounds, computed from
              the tempo map exactly as the synthesiser plays it
    tempo     median tempo in beats per minute (of the beat intervals)
    tempi     the tempo of every beat in beats per minute
    notes     [onset in beats, key] of every note, by onset then key
plus name, title, composer, metre and the nominal tempo range.
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
    """Notes in 16ths (onset16, dur16, key, velocity) and a tempo for every quarter-note beat."""

    def __init__(self, name, source, notes, tempi):
        self.name = name
        self.title, self.composer, self.metre = source.title, source.composer, source.metre
        self.key_sig = source.key_sig
        self.programs = dict(source.programs)
        self.pedal = list(source.pedal)
        self.notes = sorted(notes)
        self.tempi = list(tempi)
        if len(self.tempi) < self.beat_count:
            raise ValueError(f"{name}: {len(self.tempi)} tempi for {self.beat_count} beats")

    @property
    def length16(self):
        """End of the last note in 16ths."""
        return max(n[0] + n[1] for n in self.notes)

    @property
    def beat_count(self):
        """Quarter-note beats while the music sounds (a beat on the final barline is not one)."""
        return int(math.ceil(self.length16 / 4))

    def microseconds(self):
        """The set_tempo value of every beat: microseconds per quarter note, whole numbers."""
        return [int(round(60e6 / bpm)) for bpm in self.tempi[:self.beat_count]]

    def beat_times(self):
        """Seconds of every beat from the start, as the synthesiser plays the tempo map."""
        times, now = [], 0.0
        for us in self.microseconds():
            times.append(now)
            now += us / 1e6
        return times

    def seconds(self):
        """Length of the music in seconds, to the end of the last note."""
        times = self.beat_times()
        last = self.microseconds()[-1] / 1e6
        return times[-1] + (self.length16 / 4 - (len(times) - 1)) * last

    def midi(self):
        """The piece as a one-track Standard MIDI File with a set_tempo on every beat that changes it."""
        changes, previous = [], None
        for beat, us in enumerate(self.microseconds()):
            if us != previous:
                changes.append((beat * DIVISION, us))
                previous = us
        return pieces.one_track_midi(self, [], changes)

    def reference(self):
        """The JSON record: true beats, tempi and the reference notes in beats."""
        beats = self.beat_times()
        intervals = [b - a for a, b in zip(beats, beats[1:])]
        return {
            "name": self.name,
            "title": self.title,
            "composer": self.composer,
            "metre": list(self.metre),
            "tempo": round(60 / statistics.median(intervals), 4),
            "tempo_first": self.tempi[0],
            "tempo_last": self.tempi[self.beat_count - 1],
            "seconds": round(self.seconds(), 6),
            "beats": [round(t, 6) for t in beats],
            "tempi": [round(60e6 / us, 4) for us in self.microseconds()],
            "notes": [[float(n[0]) / 4, n[2]] for n in self.notes],
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


PIECES = {
    "minuet-96": make_minuet_96,
    "minuet-132": make_minuet_132,
    "gymnopedie-72": make_gymnopedie_72,
    "prelude-80": make_prelude_80,
    "minuet-ritardando": make_minuet_ritardando,
    "minuet-accelerando": make_minuet_accelerando,
}


def normalise(src, dst):
    """Copies a 16-bit WAV with its peak at -1 dBFS."""
    import numpy as np
    with wave.open(src, "rb") as w:
        if w.getsampwidth() != 2:
            raise ValueError(f"{src}: expected 16-bit samples")
        channels, rate = w.getnchannels(), w.getframerate()
        x = np.frombuffer(w.readframes(w.getnframes()), "<i2").astype(np.float64)
    peak = np.abs(x).max()
    if peak <= 0:
        raise ValueError(f"{src}: silent rendering")
    x *= 10 ** (-1 / 20) * 32767 / peak
    with wave.open(dst, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(np.clip(np.round(x), -32768, 32767).astype("<i2").tobytes())


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
