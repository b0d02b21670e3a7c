#!/usr/bin/python3
"""Judge the metre the starter finds: written beat, time signature and first downbeat.

    metre.py [--build BUILD_DIR] [--dir FOLDER] [NAME ...]

Renders the pieces of tools/render/beat_pieces.py (all, or the NAMEs given)
into FOLDER (default: a temporary folder; an existing rendering there is
reused), runs `sonoscriptor --beats` on them and prints, per piece:
  beat      the tempo printed within 4 % of the written beat's median tempo
  numerator the numerator of the time signature printed is the written one
  downbeat  the first printed downbeat at or after the first sound (less
            70 ms) lies within 70 ms of the first written bar line
then the share of pieces right on each, and the confusion of metrical
levels: the printed tempo over the written one, to the nearest of 1/3, 1/2,
2/3, 3/4, 1, 4/3, 3/2, 2, 3 (within 6 %), else "other" (3/4: three beats
found to four written, as a syncopated 3+3+2 pulse; 4/3: four to three).
"""
import argparse
import json
import os
import re
import subprocess
import sys
import tempfile

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tools", "render"))
import beat_pieces  # noqa: E402

TEMPO_TOLERANCE = 0.04
DOWNBEAT_WINDOW = 0.070
LEVELS = {"1/3": 1 / 3, "1/2": 1 / 2, "2/3": 2 / 3, "3/4": 3 / 4, "1": 1, "4/3": 4 / 3, "3/2": 3 / 2, "2": 2, "3": 3}
LEVEL_TOLERANCE = 0.06


def parse_listing(text):
    """{path: dict(tempo, metre (N, D) or None, beats, downbeats, header)} from --beats output."""
    result, current = {}, None
    for line in text.splitlines():
        if line.startswith("# "):
            path = line[2:].split(": ", 1)[0]
            tempo = re.search(r"median tempo ([0-9.]+) beats per minute", line)
            metre = re.search(r"; ([0-9]+)/([0-9]+) time", line)
            current = result[path] = dict(header=line, tempo=float(tempo.group(1)) if tempo else None,
                                          metre=(int(metre.group(1)), int(metre.group(2))) if metre else None,
                                          beats=[], downbeats=[])
        elif line.strip() and current is not None:
            words = line.split()
            current["beats"].append(float(words[0]))
            if words[1:] == ["downbeat"]:
                current["downbeats"].append(float(words[0]))
    return result


def level_name(tempo, written):
    """The metrical level of a tempo against the written one, by name."""
    if not tempo:
        return "none"
    ratio = tempo / written
    name, value = min(LEVELS.items(), key=lambda item: abs(item[1] / ratio - 1))
    return name if abs(ratio / value - 1) <= LEVEL_TOLERANCE else "other"


def judge(ref, found):
    """(beat right, numerator right, downbeat right, level, first downbeat found or None)."""
    tempo = found["tempo"] if found else None
    beat = bool(tempo) and abs(tempo / ref["tempo"] - 1) <= TEMPO_TOLERANCE
    numerator = bool(found and found["metre"]) and found["metre"][0] == ref["metre"][0]
    later = [d for d in (found["downbeats"] if found else []) if d >= -DOWNBEAT_WINDOW]
    first = later[0] if later else None
    downbeat = first is not None and abs(first - ref["downbeats"][0]) <= DOWNBEAT_WINDOW
    return beat, numerator, downbeat, level_name(tempo, ref["tempo"]), first


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(SOURCE_DIR, "build"))
    parser.add_argument("--dir")
    parser.add_argument("names", nargs="*")
    args = parser.parse_args(argv)
    names = args.names or list(beat_pieces.PIECES)
    folder = args.dir or tempfile.mkdtemp(prefix="sonoscriptor-metre-")
    os.makedirs(folder, exist_ok=True)
    refs, wavs = {}, []
    for name in names:
        base = os.path.join(folder, f"beats-{name}")
        if not (os.path.exists(base + ".wav") and os.path.exists(base + ".json")):
            beat_pieces.write(folder, name, wav=True)
        with open(base + ".json") as f:
            refs[name] = json.load(f)
        wavs.append(base + ".wav")
    run = subprocess.run([os.path.join(args.build, "sonoscriptor"), "--beats"] + wavs,
                         capture_output=True, text=True)
    listing = parse_listing(run.stdout)
    totals, confusion = [0, 0, 0], {}
    print("| piece | metre | written beat | found | level | metre found | first downbeat (found) | beat / numerator / downbeat |")
    print("|---|---|---|---|---|---|---|---|")
    for name, wav in zip(names, wavs):
        ref, found = refs[name], listing.get(wav)
        beat, numerator, downbeat, level, first = judge(ref, found)
        totals = [t + ok for t, ok in zip(totals, (beat, numerator, downbeat))]
        confusion[level] = confusion.get(level, 0) + 1
        metre = "%d/%d" % tuple(found["metre"]) if found and found["metre"] else "-"
        tempo = "%.2f" % found["tempo"] if found and found["tempo"] else "-"
        marks = " / ".join("yes" if ok else "no" for ok in (beat, numerator, downbeat))
        print(f"| {name} | {ref['metre'][0]}/{ref['metre'][1]} | {ref['tempo']:.2f} | {tempo} | {level} | "
              f"{metre} | {ref['downbeats'][0]:.3f} ({'-' if first is None else '%.3f' % first}) | {marks} |")
    n = len(names)
    print(f"\nwritten beat {totals[0]} of {n} ({totals[0] / n:.0%}), numerator {totals[1]} of {n} "
          f"({totals[1] / n:.0%}), first downbeat {totals[2]} of {n} ({totals[2] / n:.0%})")
    print("levels (found tempo / written): " +
          ", ".join(f"{k} {confusion[k]}" for k in list(LEVELS) + ["other", "none"] if k in confusion))
    return 0 if run.returncode == 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
