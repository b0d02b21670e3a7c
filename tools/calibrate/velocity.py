#!/usr/bin/python3
"""Calibrates the curve from a note's measured attack level to its MIDI velocity.

    velocity.py [--starter-tool build/sonoscriptor-refine] [--work DIR] [--levels FILE]

Renders single notes at known velocities with each SoundFont the corpus uses
(fluidsynth), for a few General MIDI programs and keys, in a shuffled order so
that no note is measured in the tail of a louder neighbour. The refinement tool
measures each note's attack level (sonoscriptor-refine --levels) exactly as the
starter does. The fit is the model

    level = offset(recording) + per_decade * log10(velocity) + per_semitone * (key - 60)

by least squares with one offset per rendered file (a file's levels are relative
to its loudest band, so only differences within a file carry meaning). A
straight line in velocity (level = offset + per_velocity * velocity) is fitted
beside it. Each model is cross-validated across SoundFonts: fitted on two, it
predicts the velocities of the third, and the score is the share of notes within
0.1 of the true velocity after the best straight-line rescaling over the file
(as the velocity-aware note F1 judges). The constants for
app/starter/refine/velocity.cpp are printed at the end.

--levels FILE reads measured levels saved by an earlier run (lines: soundfont
program key velocity level) instead of rendering, so the fit can be checked
without fluidsynth; tools/calibrate/velocity_levels.txt holds this version's.
"""
import argparse
import os
import random
import subprocess
import sys
import tempfile

import mido
import numpy as np

SOUNDFONTS = {
    "fluid": "/usr/share/sounds/sf2/FluidR3_GM.sf2",
    "musescore": "/usr/share/sounds/sf3/MuseScore_General.sf3",
    "timgm": "/usr/share/sounds/sf2/TimGM6mb.sf2",
}
# Programs of the corpus's timbres: piano, harpsichord, organ, nylon guitar, violin, strings, flute.
PROGRAMS = [0, 6, 19, 24, 40, 48, 73]
KEYS = [43, 55, 62, 69, 76, 84]
VELOCITIES = [24, 40, 56, 72, 88, 104, 120]
NOTE_SECONDS, GAP_SECONDS = 0.6, 0.6
RATE = 44100
SEED = 24
TOLERANCE = 0.1


def playable(program, key):
    """Keys a program's instrument can play (a violin or flute does not go below its range)."""
    lowest = {40: 55, 73: 60}.get(program, 0)
    return key >= lowest


def notes_of(program):
    """The (key, velocity) pairs of one file, shuffled with a fixed seed."""
    pairs = [(k, v) for k in KEYS if playable(program, k) for v in VELOCITIES]
    random.Random(SEED + program).shuffle(pairs)
    return pairs


def write_midi(path, program, pairs):
    mid = mido.MidiFile(ticks_per_beat=480)
    track = mido.MidiTrack()
    mid.tracks.append(track)
    track.append(mido.MetaMessage("set_tempo", tempo=500000, time=0))  # 960 ticks a second
    track.append(mido.Message("program_change", program=program, time=0))
    step = int(round((NOTE_SECONDS + GAP_SECONDS) * 960))
    on = int(round(NOTE_SECONDS * 960))
    track.append(mido.Message("note_on", note=pairs[0][0], velocity=pairs[0][1], time=step))
    for i, (k, v) in enumerate(pairs):
        track.append(mido.Message("note_off", note=k, velocity=0, time=on))
        if i + 1 < len(pairs):
            track.append(mido.Message("note_on", note=pairs[i + 1][0], velocity=pairs[i + 1][1], time=step - on))
    mid.save(path)


def measure(tool, work):
    """Renders every file and measures its notes; rows (soundfont, program, key, velocity, level)."""
    rows = []
    for sf, font in SOUNDFONTS.items():
        for program in PROGRAMS:
            pairs = notes_of(program)
            base = os.path.join(work, f"{sf}-{program}")
            write_midi(base + ".mid", program, pairs)
            if not os.path.exists(base + ".wav"):  # a --work folder keeps its renders
                subprocess.run(["fluidsynth", "-ni", "-g", "1.0", "-F", base + ".wav", "-r", str(RATE), font,
                            base + ".mid"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               check=True)
            step = NOTE_SECONDS + GAP_SECONDS
            with open(base + ".txt", "w") as f:
                for i, (k, _) in enumerate(pairs):
                    f.write(f"{(i + 1) * step:.4f} {k}\n")
            out = subprocess.run([tool, "--levels", base + ".wav", base + ".txt"], capture_output=True, text=True,
                                 check=True).stdout.split("\n")
            for (k, v), line in zip(pairs, out):
                rows.append((sf, program, k, v, float(line.split()[2])))
    return rows


def design(rows, shape):
    """The model's columns: the shared terms, then one offset per file."""
    files = sorted({(r[0], r[1]) for r in rows})
    x = np.zeros((len(rows), 2 + len(files)))
    for i, (sf, program, k, v, _) in enumerate(rows):
        x[i, 0] = np.log10(v) if shape == "log" else v
        x[i, 1] = k - 60
        x[i, 2 + files.index((sf, program))] = 1
    return x, files


def fit(rows, shape):
    """(level per unit of velocity term, level per semitone) by least squares with per-file offsets."""
    x, _ = design(rows, shape)
    y = np.array([r[4] for r in rows])
    coef = np.linalg.lstsq(x, y, rcond=None)[0]
    return coef[0], coef[1]


def within_tolerance(rows, shape, per_unit, per_semitone):
    """Share of notes whose predicted velocity, rescaled per file as the velocity F1 does, lies within
    TOLERANCE of the true one normalised to [0, 1] over the file."""
    hits = 0
    for f in sorted({(r[0], r[1]) for r in rows}):
        mine = [r for r in rows if (r[0], r[1]) == f]
        level = np.array([r[4] - per_semitone * (r[2] - 60) for r in mine])
        guess = 10 ** (level / per_unit) if shape == "log" else level / per_unit
        truth = np.array([r[3] for r in mine], float)
        truth = (truth - truth.min()) / max(1, truth.max() - truth.min())
        a, b = np.linalg.lstsq(np.vstack([guess, np.ones(len(guess))]).T, truth, rcond=None)[0]
        hits += int(np.sum(np.abs(a * guess + b - truth) < TOLERANCE))
    return hits / len(rows)


def cross_validated(rows, shape):
    """The mean share within tolerance over the SoundFonts, each predicted by a fit on the others."""
    return float(np.mean([within_tolerance([r for r in rows if r[0] == test], shape,
                                           *fit([r for r in rows if r[0] != test], shape))
                          for test in SOUNDFONTS]))


def constants(rows):
    """The lines for app/starter/refine/velocity.cpp: the shape that predicts unseen SoundFonts
    better, fitted on all three."""
    shape = max(("linear", "log"), key=lambda s: cross_validated(rows, s))
    u, s = fit(rows, shape)
    name = "LevelPerVelocity" if shape == "linear" else "LevelPerDecade"
    return (f"\nFor app/starter/refine/velocity.cpp (the {shape} shape, which predicts an unseen SoundFont "
            f"better; fitted on all three):\n"
            f"constexpr double {name} = {u:.3f};\n"
            f"(the level falls {-s:.3f} dB a semitone up the keyboard; the starter takes off each "
            f"recording's own trend instead)")


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--starter-tool", default="build/sonoscriptor-refine")
    ap.add_argument("--work", help="keep the renders here (default: a temporary folder)")
    ap.add_argument("--levels", help="fit levels saved earlier instead of rendering")
    ap.add_argument("--save", help="save the measured levels here")
    a = ap.parse_args(argv)
    if a.levels:
        with open(a.levels) as f:
            rows = [(s, int(p), int(k), int(v), float(lv)) for s, p, k, v, lv in (line.split() for line in f)]
    elif a.work:
        os.makedirs(a.work, exist_ok=True)
        rows = measure(a.starter_tool, a.work)
    else:
        with tempfile.TemporaryDirectory(prefix="velocity-") as work:
            rows = measure(a.starter_tool, work)
    if a.save:
        with open(a.save, "w") as f:
            for r in rows:
                f.write(f"{r[0]} {r[1]} {r[2]} {r[3]} {r[4]:.3f}\n")
    # Notes at the level floor carry no measurement.
    rows = [r for r in rows if r[4] > -39.5]
    print(f"{len(rows)} notes measured above the floor")
    for shape in ("log", "linear"):
        print(f"\nshape {shape}:")
        for test in SOUNDFONTS:
            train = [r for r in rows if r[0] != test]
            held = [r for r in rows if r[0] == test]
            u, s = fit(train, shape)
            print(f"  fit without {test:9s}: per_unit {u:8.4f}  per_semitone {s:7.4f}  "
                  f"within {TOLERANCE} on {test}: {within_tolerance(held, shape, u, s):.3f}  "
                  f"(its own fit: {within_tolerance(held, shape, *fit(held, shape)):.3f})")
        for sf in SOUNDFONTS:
            mine = [r for r in rows if r[0] == sf]
            u, s = fit(mine, shape)
            print(f"  {sf:9s} alone: per_unit {u:8.4f}  per_semitone {s:7.4f}")
    print(constants(rows))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
