#!/usr/bin/python3
"""Renderings of the wide corpus played off A = 440 Hz, and the starter scored on them.

    detuned.py make SPLIT [--corpus DIR] [--out DIR]
    detuned.py run SPLIT STARTER NAME [--corpus DIR] [--out DIR] [-j N] [KEY=VALUE ...]
    detuned.py compare OUT/NAME_A OUT/NAME_B

`make` writes, for each piece of SPLIT and three renderings (FluidR3 dry, MuseScore room,
TimGM6mb dry), OUT/audio/KEY.wav: the rendering played faster or slower, as a tape off speed
or an instrument tuned off A = 440 Hz (sox speed, then resampled to 44100 Hz), by a number of
cents drawn once per rendering (seeded by its name) from -35 to -5 and 5 to 35; and
OUT/ref/KEY.mid, the reference with its tempo map scaled to match. `run` transcribes each with
STARTER (KEY=VALUE pairs go to its environment) into OUT/NAME/ and scores it with the shared
scorer; OUT/NAME/rows.json holds a row per file. `compare` prints the two runs' mean unshifted
onset F1 by how far the rendering is detuned, by family, and the files that moved most.
"""
import argparse
import collections
import json
import os
import random
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import mido

CORPUS = "/work/corpus"
OUT = "/tmp/detuned"
SCORER = "/work/shared/tools/score.py"
RENDERINGS = [("fluid", "dry"), ("musescore", "room"), ("timgm", "dry")]


def renderings(corpus, split):
    """(piece, key, cents) for each rendering detuned of a split's pieces."""
    manifest = json.load(open(os.path.join(corpus, "manifest.json")))
    for piece in manifest["pieces"]:
        if piece["split"] != split:
            continue
        for soundfont, room in RENDERINGS:
            key = f"{piece['name']}.{soundfont}.{room}"
            draw = random.Random(key)
            cents = round(draw.choice([-1, 1]) * draw.uniform(5, 35), 1)
            yield piece, key, cents


def make(args):
    os.makedirs(os.path.join(args.out, "audio"), exist_ok=True)
    os.makedirs(os.path.join(args.out, "ref"), exist_ok=True)
    for piece, key, cents in renderings(args.corpus, args.split):
        factor = 2 ** (cents / 1200)
        audio = os.path.join(args.out, "audio", key + ".wav")
        if not os.path.exists(audio):
            subprocess.run(["sox", "-R", os.path.join(args.corpus, "audio", key + ".wav"), audio,
                            "speed", f"{factor:.8f}", "rate", "-v", "44100"], check=True)
        ref = os.path.join(args.out, "ref", key + ".mid")
        if not os.path.exists(ref):
            midi = mido.MidiFile(os.path.join(args.corpus, "ref", piece["name"] + ".mid"))
            for track in midi.tracks:
                for message in track:
                    if message.type == "set_tempo":
                        message.tempo = max(1, round(message.tempo / factor))
            midi.save(ref)


def run(args):
    out = os.path.join(args.out, args.name)
    os.makedirs(out, exist_ok=True)
    env = dict(os.environ)
    env.update(dict(pair.split("=", 1) for pair in args.env))

    def one(item):
        piece, key, cents = item
        midi = os.path.join(out, key + ".mid")
        ran = subprocess.run([args.starter, "-q", "--force", os.path.join(args.out, "audio", key + ".wav"),
                              "-o", midi], env=env, capture_output=True, text=True)
        scored = subprocess.run(["/usr/bin/python3", SCORER, os.path.join(args.out, "ref", key + ".mid"), midi],
                                capture_output=True, text=True)
        s = json.loads(scored.stdout) if scored.stdout.strip() else {}
        return {"key": key, "piece": piece["name"], "family": piece["family"], "cents": cents,
                "summary": ran.stdout.strip(), "f1": s.get("onset_f1", 0.0), "p": s.get("onset_p", 0.0),
                "r": s.get("onset_r", 0.0), "aligned": s.get("aligned", False), "velocity_f1": s.get("velocity_f1", 0.0)}

    with ThreadPoolExecutor(args.jobs) as pool:
        rows = list(pool.map(one, list(renderings(args.corpus, args.split))))
    json.dump(rows, open(os.path.join(out, "rows.json"), "w"), indent=0)
    print(f"{out}: {len(rows)} files, mean onset F1 {sum(r['f1'] for r in rows) / len(rows):.4f}")


def mean(values):
    values = list(values)
    return sum(values) / len(values) if values else 0.0


def compare(args):
    a = {r["key"]: r for r in json.load(open(os.path.join(args.first, "rows.json")))}
    b = {r["key"]: r for r in json.load(open(os.path.join(args.second, "rows.json")))}
    keys = sorted(set(a) & set(b))
    bands = collections.defaultdict(list)
    for k in keys:
        c = abs(a[k]["cents"])
        bands["5-10" if c < 10 else "10-20" if c < 20 else "20-35"].append(k)
    print("| detuned by (cents) | files | onset F1 | aligned |")
    print("|---|---|---|---|")
    for band in ("5-10", "10-20", "20-35"):
        ks = bands[band]
        print(f"| {band} | {len(ks)} | {mean(a[k]['f1'] for k in ks):.4f} → {mean(b[k]['f1'] for k in ks):.4f} | "
              f"{sum(bool(a[k]['aligned']) for k in ks)} → {sum(bool(b[k]['aligned']) for k in ks)} |")
    print(f"| all | {len(keys)} | {mean(a[k]['f1'] for k in keys):.4f} → {mean(b[k]['f1'] for k in keys):.4f} | "
          f"{sum(bool(a[k]['aligned']) for k in keys)} → {sum(bool(b[k]['aligned']) for k in keys)} |")
    for field in ("p", "r", "velocity_f1"):
        print(f"{field}: {mean(a[k][field] for k in keys):.4f} → {mean(b[k][field] for k in keys):.4f}")
    families = collections.defaultdict(list)
    for k in keys:
        families[a[k]["family"]].append(b[k]["f1"] - a[k]["f1"])
    print("by family, a file: " + ", ".join(f"{f} {mean(v):+.4f} ({len(v)})" for f, v in sorted(families.items())))
    moved = sorted((b[k]["f1"] - a[k]["f1"], k, a[k]["cents"]) for k in keys)
    print(f"gain more than 0.01: {sum(d > 0.01 for d, _, _ in moved)}; lose more than 0.01: "
          f"{sum(d < -0.01 for d, _, _ in moved)}")
    print("lost most: " + ", ".join(f"{k} ({c:+.1f} cents) {d:+.3f}" for d, k, c in moved[:5]))
    print("gained most: " + ", ".join(f"{k} ({c:+.1f} cents) {d:+.3f}" for d, k, c in moved[-5:]))


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="command", required=True)
    m = sub.add_parser("make")
    r = sub.add_parser("run")
    for q in (m, r):
        q.add_argument("split", choices=["dev", "held"])
    r.add_argument("starter")
    r.add_argument("name")
    r.add_argument("-j", "--jobs", type=int, default=2)
    r.add_argument("env", nargs="*", help="KEY=VALUE for the starter's environment")
    for q in (m, r):
        q.add_argument("--corpus", default=CORPUS)
        q.add_argument("--out", default=OUT)
    c = sub.add_parser("compare")
    c.add_argument("first")
    c.add_argument("second")
    args = p.parse_args()
    {"make": make, "run": run, "compare": compare}[args.command](args)


if __name__ == "__main__":
    sys.exit(main())
