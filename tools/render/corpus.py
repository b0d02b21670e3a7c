#!/usr/bin/python3
"""The development corpus: pieces for many instruments, rendered with two SoundFonts.

    corpus.py [--midi-only] OUTDIR [NAME ...]
    corpus.py --list

For every piece (all, or the NAMEs given) this writes OUTDIR/NAME.mid (the
reference) and, unless --midi-only, for each SoundFont SF in SOUNDFONTS:
    OUTDIR/NAME.SF.wav            44100 Hz, 16-bit stereo, peak at -1 dBFS
    OUTDIR/NAME.SF.mono22050.wav  the same mixed to mono and resampled to
                                  22050 Hz (the peer transcriber's input)
A file already present is not rendered again. The output is the same on
every run. `--list` prints name, group, instruments, tempi, length, notes.

Every piece is public-domain music (or written for this corpus) typed in
here; our transcriptions are CC0. They cover solo piano, harpsichord,
organ, nylon guitar, violin, string ensemble, flute and three ensembles,
steady tempi, ritardandos and accelerandos, notes struck again while they
ring (sustain pedal, repeated notes), triplets, a swung passage, strummed
chords and octaves. Times are in 16th notes; Fraction onsets are off the
16th grid. The tempo changes beat by beat (one value per quarter note).
"""
import os
import sys
import tempfile
import wave
from fractions import Fraction as F

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import beat_pieces  # noqa: E402
import pieces  # noqa: E402
from beat_pieces import BeatPiece, gradual, steady  # noqa: E402
from pieces import Piece, k, keys  # noqa: E402

SOUNDFONTS = {
    "fluid": "/usr/share/sounds/sf2/FluidR3_GM.sf2",          # thresholds are chosen on this one
    "musescore": "/usr/share/sounds/sf3/MuseScore_General.sf3",  # held out
}
PIANO, HARPSICHORD, ORGAN, NYLON, STEEL, BASS = 0, 6, 19, 24, 25, 32
VIOLIN, STRINGS, FLUTE = 40, 48, 73
T3 = F(4, 3)                   # a triplet eighth in 16ths


def piece(name, title, composer, metre, key_sig, programs):
    p = Piece(name, title, composer, 0, metre, key_sig)
    p.programs = dict(programs)
    return p


def on_channel(p, channel, start, items, velocity):
    """A melody of (key-name or None, duration16) on one channel; returns its end."""
    t = start
    for name, dur in items:
        if name is not None:
            p.notes.append((t, dur, k(name), velocity, channel))
        t += dur
    return t


def slowing(notes, first, last, final):
    """Tempi for the notes: `first` until the last `final` beats, then moving evenly to `last`."""
    beats = int(np.ceil(max(n[0] + n[1] for n in notes) / 4))
    return steady(first, beats - final) + gradual(first, last, final + 1)[1:]


# ---------------------------------------------------------------- piano

def piano_prelude():
    """Bach's Prelude in C, bars 1-8, with the sustain pedal held through
    every half bar: the figure's notes ring and are struck again."""
    p = beat_pieces.prelude_bars_1_to_8()
    p.pedal = [(0, h * 8, h * 8 + 8 - F(1, 4)) for h in range(16)]
    return BeatPiece("piano-prelude", p, p.notes, steady(76, 32))


def piano_entertainer():
    """S. Joplin, The Entertainer (1902), opening phrase, swung: every second
    16th comes a third of a 16th late. Melody doubled an octave below, bass
    and chords in the left hand; slows down over the last bars."""
    p = piece("piano-entertainer", "The Entertainer, opening, swung", "Scott Joplin",
              (2, 4), "C", {0: PIANO})

    def swing(t):
        return t + F(1, 3) if t % 2 == 1 else t
    melody = [("D5", 1), ("D#5", 1), ("E5", 1), ("C6", 2), ("E5", 1), ("C6", 2), ("E5", 1), ("C6", 7),
              ("C6", 1), ("D6", 1), ("D#6", 1), ("E6", 1), ("C6", 1), ("D6", 1), ("E6", 2), ("B5", 1),
              ("D6", 2), ("C6", 6),
              ("D5", 1), ("D#5", 1), ("E5", 1), ("C6", 2), ("E5", 1), ("C6", 2), ("E5", 1), ("C6", 7),
              ("A5", 1), ("G5", 1), ("F#5", 1), ("A5", 1), ("C6", 1), ("E6", 2), ("D6", 1), ("C6", 1),
              ("A5", 1), ("D6", 8)]
    t = 4
    for name, dur in melody:
        for key in (k(name), k(name) - 12):
            p.notes.append((swing(t), swing(t + dur) - swing(t) - F(1, 4), key, 78 if key == k(name) else 64, 0))
        t += dur
    bass = [("C3", "E3 G3 C4"), ("G2", "E3 G3 C4"), ("C3", "E3 G3 C4"), ("E3", "G3 C4"),
            ("F2", "F3 A3 C4"), ("C3", "F3 A3 C4"), ("G2", "F3 G3 B3"), ("G2", "F3 G3 B3"),
            ("C3", "E3 G3 C4"), ("G2", "E3 G3 C4"), ("C3", "E3 G3 C4"), ("E3", "G3 C4"),
            ("D3", "F#3 A3 C4"), ("A2", "F#3 A3 C4"), ("G2", "F3 G3 B3"), ("G2", "D3 G3 B3")]
    for i, (root, chord) in enumerate(bass):
        t = 4 + 4 * i
        p.notes.append((t, 2, k(root), 66, 0))
        p.notes.extend((t + 2, 2, key, 56, 0) for key in keys(chord))
    p.notes.append((68, 8, k("C3"), 66, 0))
    p.notes.extend((68, 8, key, 60, 0) for key in keys("E3 G3 C4"))
    return BeatPiece("piano-entertainer", p, p.notes, slowing(p.notes, 72, 56, 6))


def piano_elise():
    """Beethoven's Bagatelle WoO 59, bars 1-8 played twice with the sustain
    pedal over every left-hand figure, quickening the second time."""
    src = pieces.elise()
    notes = beat_pieces.repeated(src.notes, 2, 50)
    src.pedal = [(0, 2 + 6 * b + 50 * r, 2 + 6 * b + 50 * r + 5) for r in range(2) for b in range(1, 8)]
    return BeatPiece("piano-elise", src, notes, slowing(notes, 60, 76, 12))


# ---------------------------------------------------------------- harpsichord and organ

def harpsichord_minuet():
    """The Minuet in G, BWV Anh. 114, bars 1-8 twice on a harpsichord, slowing from 120 to 80."""
    src = pieces.minuet()
    src.programs = {0: HARPSICHORD}
    return BeatPiece("harpsichord-minuet", src, beat_pieces.repeated(src.notes, 2, 96),
                     gradual(120, 80, 48))


def harpsichord_musette():
    """A musette written for this corpus: a drone bass leaping in octaves
    (D2-D3, A2-A3) in eighths under a melody in 16ths and eighths."""
    p = piece("harpsichord-musette", "Musette in D over an octave drone", "written for this corpus",
              (2, 4), "D", {0: HARPSICHORD})
    bars = [("D", "A4 F#5 E5 F#5 D5 F#5 A5 F#5"), ("D", "G5 E5 F#5 D5 E5 C#5 D5 A4"),
            ("A", "E5 C#5 E5 A5 G5 E5 C#5 A4"), ("D", "F#5 D5 F#5 A5 D6 A5 F#5 D5"),
            ("D", "A4 F#5 E5 F#5 D5 F#5 A5 F#5"), ("D", "B5 G5 A5 F#5 G5 E5 F#5 D5"),
            ("A", "C#5 E5 A5 E5 C#5 A4 B4 C#5"), ("D", "D5 F#5 A5 F#5 D5 A4 D5 D5")]
    for b, (root, melody) in enumerate(bars):
        t = 8 * b
        for i, key in enumerate(keys(melody)):
            p.notes.append((t + i, 1, key, 72, 0))
        low = k(root + "2")
        for i in range(4):
            p.notes.append((t + 2 * i, 2, low + (12 if i % 2 else 0), 62, 0))
    return BeatPiece("harpsichord-musette", p, beat_pieces.repeated(p.notes, 2, 64), steady(100, 32))


def organ_chorale():
    """The Old Hundredth (L. Bourgeois, 1551) in four parts on a church organ;
    repeated melody notes are struck again; the last line broadens."""
    p = piece("organ-chorale", "Old Hundredth, four parts", "Louis Bourgeois (1551)",
              (4, 4), "G", {0: ORGAN})
    soprano = "G4 G4 F#4 E4 D4 G4 A4 B4 B4 B4 B4 A4 G4 C5 B4 A4 G4 A4 B4 A4 G4 E4 F#4 G4 D5 B4 G4 A4 C5 B4 A4 G4"
    alto = "D4 D4 D4 C4 B3 D4 D4 D4 D4 D4 G4 F#4 D4 E4 D4 D4 D4 F#4 G4 E4 D4 C4 D4 D4 D4 D4 E4 E4 E4 D4 D4 B3"
    tenor = "B3 B3 A3 G3 G3 B3 A3 G3 G3 G3 D4 D4 B3 A3 G3 F#3 G3 D4 D4 C4 B3 A3 A3 B3 A3 G3 B3 C4 A3 G3 F#3 G3"
    bass = "G2 G2 D3 C3 G2 G3 F#3 G3 G3 G3 G2 D3 E3 A2 B2 D3 E3 D3 G3 C3 G2 C3 D3 G2 F#2 G2 E2 A2 A2 B2 D3 G2"
    lines = [keys(x) for x in (soprano, alto, tenor, bass)]
    for voice, line in enumerate(lines):
        for i, key in enumerate(line):
            held = 8 if i % 8 == 7 else 4      # a half note ends each line of eight
            start = 4 * i + 4 * (i // 8)
            if not any(n[0] == start and n[2] == key for n in p.notes):   # a unison is struck once
                p.notes.append((start, held - F(1, 2), key, 70 if voice == 0 else 60, 0))
    return BeatPiece("organ-chorale", p, p.notes, slowing(p.notes, 80, 58, 10))


# ---------------------------------------------------------------- guitar, strings, flute

def guitar_romance():
    """The anonymous Romance for guitar, bars 1-12: triplet arpeggios under a
    melody on the first triplet of every beat, the bass on every downbeat."""
    p = piece("guitar-romance", "Romance (anonymous), bars 1-12", "Anonymous",
              (3, 4), "Em", {0: NYLON})
    bars = [("E2", "B3 G3", "B4 B4 B4"), ("E2", "B3 G3", "B4 A4 G4"), ("E2", "B3 G3", "G4 F#4 E4"),
            ("E2", "B3 G3", "E4 G4 B4"), ("E2", "B3 G3", "E5 E5 E5"), ("E2", "B3 G3", "E5 D5 C5"),
            ("A2", "C4 A3", "C5 B4 A4"), ("A2", "C4 A3", "A4 B4 C5"), ("B2", "A3 F#3", "B4 C5 B4"),
            ("B2", "A3 F#3", "B4 D#5 F#5"), ("E2", "B3 G3", "E5 B4 G4"), ("E2", "B3 G3", "E4 E4 E4")]
    for b, (bass, inner, melody) in enumerate(bars):
        t = 12 * b
        p.notes.append((t, 12, k(bass), 70, 0))
        for beat, top in enumerate(keys(melody)):
            s = t + 4 * beat
            p.notes.append((s, 4, top, 80, 0))
            for j, key in enumerate(keys(inner)):
                p.notes.append((s + T3 * (j + 1), 4 - T3 * (j + 1), key, 58, 0))
    return BeatPiece("guitar-romance", p, p.notes, steady(84, 36))


def guitar_bass():
    """An ensemble of a strummed nylon guitar and an acoustic bass on the chords
    of the traditional House of the Rising Sun: down strokes low to high and up
    strokes high to low, 20 ms a string; quickening from 92 to 120."""
    p = piece("guitar-bass", "House of the Rising Sun, chords", "Traditional",
              (3, 4), "Am", {0: NYLON, 1: BASS})
    chords = {"Am": "A2 E3 A3 C4 E4", "C": "C3 E3 G3 C4 E4", "D": "D3 A3 D4 F#4",
              "F": "F2 C3 F3 A3 C4 F4", "E": "E2 B2 E3 G#3 B3 E4"}
    roots = {"Am": ("A2", "E3"), "C": ("C3", "G2"), "D": ("D3", "A2"), "F": ("F2", "C3"), "E": ("E2", "B2")}
    order = "Am C D F Am C E E Am C D F Am E Am Am".split()
    string = F(2, 15)            # 16 ticks: 20 ms at 100 quarters a minute
    for b, name in enumerate(order):
        t = 12 * b
        low_to_high = keys(chords[name])
        for stroke, (at, up) in enumerate([(0, False), (4, False), (6, True), (8, False), (10, True)]):
            strings = low_to_high[::-1][:4] if up else low_to_high
            length = 4 if stroke < 1 else 2
            for j, key in enumerate(strings):
                p.notes.append((t + at + string * j, length - 1, key, 64 if up else 74, 0))
        first, fifth = roots[name]
        p.notes.append((t, 6, k(first), 82, 1))
        p.notes.append((t + 8, 4, k(fifth), 76, 1))
    return BeatPiece("guitar-bass", p, p.notes, gradual(92, 120, 48))


def violin_minuet():
    """The Minuet in G's melody on a violin, the second time an octave higher, slowing at the end."""
    src = pieces.minuet()
    src.programs = {0: VIOLIN}
    top = [n for n in src.notes if n[3] == 80]
    notes = top + [(on + 96, dur, key + 12, vel) for on, dur, key, vel in top]
    return BeatPiece("violin-minuet", src, notes, slowing(notes, 108, 80, 10))


def strings_canon():
    """J. Pachelbel, Canon in D, the ground twice: the bass in octaves,
    held chords, then the first violins' quarter and eighth notes."""
    p = piece("strings-canon", "Canon in D, the ground twice", "Johann Pachelbel",
              (4, 4), "D", {0: STRINGS})
    ground = keys("D3 A2 B2 F#2 G2 D2 G2 A2")
    chords = ["F#4 A4", "E4 A4", "D4 F#4", "C#4 F#4", "B3 D4", "A3 D4", "B3 D4", "C#4 E4"]
    upper = [keys("F#5 E5 D5 C#5 B4 A4 B4 C#5"),
             keys("D5 F#5 A5 G5 F#5 D5 F#5 E5 D5 B4 D5 A5 G5 B5 A5 G5")]
    for cycle in range(2):
        base = 64 * cycle
        for i, key in enumerate(ground):
            t = base + 8 * i
            p.notes.append((t, 8 - F(1, 2), key, 72, 0))
            p.notes.append((t, 8 - F(1, 2), key + 12, 62, 0))
            p.notes.extend((t, 8 - F(1, 2), c, 54, 0) for c in keys(chords[i]))
        step = 4 if cycle == 0 else 2
        for i, key in enumerate(upper[cycle] * 2):
            p.notes.append((base + step * i, step - F(1, 4), key, 80, 0))
    p.notes.append((128, 16, k("D3"), 72, 0))
    p.notes.extend((128, 16, key, 62, 0) for key in keys("D4 F#4 A4 D5"))
    return BeatPiece("strings-canon", p, p.notes, slowing(p.notes, 66, 50, 6))


GREENSLEEVES = [("A4", 2),
                ("C5", 4), ("D5", 2), ("E5", 3), ("F5", 1), ("E5", 2),
                ("D5", 4), ("B4", 2), ("G4", 3), ("A4", 1), ("B4", 2),
                ("C5", 4), ("A4", 2), ("A4", 3), ("G#4", 1), ("A4", 2),
                ("B4", 4), ("G#4", 2), ("E4", 4), ("A4", 2),
                ("C5", 4), ("D5", 2), ("E5", 3), ("F5", 1), ("E5", 2),
                ("D5", 4), ("B4", 2), ("G4", 3), ("A4", 1), ("B4", 2),
                ("C5", 3), ("B4", 1), ("A4", 2), ("G#4", 3), ("F#4", 1), ("G#4", 2),
                ("A4", 6), ("A4", 4)]


def flute_greensleeves():
    """Greensleeves (traditional) on a flute, twice, broadening at the end."""
    p = piece("flute-greensleeves", "Greensleeves", "Traditional", (6, 8), "Am", {0: FLUTE})
    end = on_channel(p, 0, 0, GREENSLEEVES, 84)
    on_channel(p, 0, end, GREENSLEEVES[1:], 84)
    return BeatPiece("flute-greensleeves", p, p.notes, slowing(p.notes, 96, 72, 8))


def flute_strings():
    """An ensemble: Beethoven's Ode to Joy on a flute over held string chords
    and a string bass, quickening from 88 to 116."""
    p = piece("flute-strings", "Ode to Joy (Symphony No. 9), theme", "Ludwig van Beethoven",
              (4, 4), "D", {0: FLUTE, 1: STRINGS})
    q = 4
    a = [("F#5", q), ("F#5", q), ("G5", q), ("A5", q), ("A5", q), ("G5", q), ("F#5", q), ("E5", q),
         ("D5", q), ("D5", q), ("E5", q), ("F#5", q)]
    first = a + [("F#5", 6), ("E5", 2), ("E5", 8)]
    second = a + [("E5", 6), ("D5", 2), ("D5", 8)]
    end = on_channel(p, 0, 0, first, 86)
    on_channel(p, 0, end, second, 86)
    harmony = "D D D A D A D A D D D A D A A D".split()     # one chord a half bar
    chord = {"D": ("D3", "A3 D4 F#4"), "A": ("A2", "A3 C#4 E4")}
    for half, name in enumerate(harmony):
        bass, upper = chord[name]
        t = 8 * half
        p.notes.append((t, 8 - F(1, 2), k(bass), 64, 1))
        p.notes.extend((t, 8 - F(1, 2), key, 50, 1) for key in keys(upper))
    return BeatPiece("flute-strings", p, p.notes, gradual(88, 116, 32))


def piano_violin():
    """An ensemble: Satie's Gymnopedie No. 1, bars 1-8 and four bars written for
    this corpus, the melody on a violin, the bass and chords on a piano; the
    last bars slow down."""
    src = pieces.gymnopedie()
    src.title = "Gymnopedie No. 1, bars 1-8, and four bars of ours"
    src.programs = {0: PIANO, 1: VIOLIN}
    notes = [n if n[3] != 78 else (*n, 1) for n in src.notes]
    q = 4
    for bar in range(8, 12):
        t = bar * 12
        bass, chord = ("G2", "B3 D4 F#4") if bar % 2 == 0 else ("D2", "A3 C#4 F#4")
        notes.append((t, 3 * q, k(bass), 66))
        notes.extend((t + q, 2 * q, key, 52) for key in keys(chord))
    end = 8 * 12
    for name, dur in [("F#4", 3 * q), ("F#4", 3 * q), ("F#4", 3 * q), ("E4", q), ("F#4", q), ("G4", q)]:
        notes.append((end, dur, k(name), 78, 1))
        end += dur
    return BeatPiece("piano-violin", src, notes, slowing(notes, 76, 60, 6))


# Name -> (maker, instrument group). The group balances the cross-validation folds.
PIECES = {
    "piano-prelude": (piano_prelude, "piano"),
    "piano-entertainer": (piano_entertainer, "piano"),
    "piano-elise": (piano_elise, "piano"),
    "harpsichord-minuet": (harpsichord_minuet, "harpsichord"),
    "harpsichord-musette": (harpsichord_musette, "harpsichord"),
    "organ-chorale": (organ_chorale, "organ"),
    "guitar-romance": (guitar_romance, "guitar"),
    "violin-minuet": (violin_minuet, "strings"),
    "strings-canon": (strings_canon, "strings"),
    "flute-greensleeves": (flute_greensleeves, "flute"),
    "guitar-bass": (guitar_bass, "ensemble"),
    "flute-strings": (flute_strings, "ensemble"),
    "piano-violin": (piano_violin, "ensemble"),
}


def mono22050(src, dst):
    """Mixes a 44100 Hz 16-bit WAV to mono and resamples it to 22050 Hz (polyphase, scipy)."""
    from scipy.signal import resample_poly
    with wave.open(src, "rb") as w:
        channels, rate = w.getnchannels(), w.getframerate()
        x = np.frombuffer(w.readframes(w.getnframes()), "<i2").astype(np.float64)
    if rate != 44100:
        raise ValueError(f"{src}: expected 44100 Hz")
    y = resample_poly(x.reshape(-1, channels).mean(axis=1), 1, 2)
    with wave.open(dst, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(22050)
        w.writeframes(np.clip(np.round(y), -32768, 32767).astype("<i2").tobytes())


def write(outdir, name, audio=True):
    """Writes NAME.mid (and the renderings not yet there); returns the MIDI path."""
    mid = os.path.join(outdir, name + ".mid")
    PIECES[name][0]().midi().save(mid)
    for sf, path in SOUNDFONTS.items() if audio else []:
        wav = os.path.join(outdir, f"{name}.{sf}.wav")
        if not os.path.exists(wav):
            with tempfile.TemporaryDirectory(prefix="corpus-") as tmp:
                part = os.path.join(tmp, "part.wav")
                beat_pieces.render(mid, part, path)
                os.replace(part, wav)
        small = os.path.join(outdir, f"{name}.{sf}.mono22050.wav")
        if not os.path.exists(small):
            mono22050(wav, small + ".part")
            os.replace(small + ".part", small)
    return mid


def main(argv):
    if argv[:1] == ["--list"]:
        for name, (make, group) in PIECES.items():
            p = make()
            ref = p.reference()
            programs = ",".join(str(v) for v in p.programs.values())
            print(f"{name:20s} {group:11s} prog {programs:6s} {ref['tempo_first']:5.1f}..{ref['tempo_last']:5.1f} "
                  f"bpm  {p.metre[0]}/{p.metre[1]}  {ref['seconds']:5.1f} s  {len(p.notes):3d} notes  "
                  f"{p.composer}: {p.title}")
        return 0
    audio = argv[:1] != ["--midi-only"]
    if not audio:
        argv = argv[1:]
    if not argv or argv[0].startswith("-"):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    return pieces.write_named(argv[0], argv[1:], PIECES, lambda outdir, name: write(outdir, name, audio))


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
