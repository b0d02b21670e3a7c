#!/usr/bin/python3
"""Where the refined notes miss and add: the development loop of the refinement's rules.

    recall.py prepare --soundfont SF --room ROOM [--split dev] [--starter PATH] [--work DIR] [-j N]
    recall.py try PARAMS --soundfont SF --room ROOM ... [--refine PATH] [--work DIR] [--breakdown]
              [--per-rendering] [--per-piece]
    recall.py table --soundfont SF --room ROOM [--split S] --work BEFORE --after AFTER

`table` prints a Markdown table, a row per piece and the means, of the onset F1, precision and
recall (unshifted) of the auto outputs that `prepare` left in BEFORE and AFTER, and of basic-pitch's.

Every SoundFont given is taken with every room given. `prepare` runs the starter once per piece
of the split (auto mode, `--keep-engine-files`) and keeps the engine's files in WORK/NAME.SF.ROOM/. `try` refines each kept engine file with every line of
PARAMS (threshold sets as `sonoscriptor-refine --params` reads them) and prints, per line, the mean
unshifted onset F1, precision and recall and the velocity F1 (V) over the pieces, with basic-pitch's beside them. With
--breakdown it also sorts each line's misses and extras:

  misses  unproposed  no written note of the key within 50 ms of the onset nor sounding over it
          held        a written note of the key that started earlier sounds over the onset (a
                      re-strike held over)
          octave      no note of the key, but one 12, 19 or 24 semitones away starts within 50 ms
          late        a written note of the key starts 50-150 ms away (timing)
  extras  partial     12, 19 or 24 semitones above a note of the reference sounding at its onset
          below       12, 19 or 24 semitones below one
          repeat      the key of a reference note sounding at its onset (a split too many)
          other       the rest
"""
import argparse
import concurrent.futures
import json
import os
import subprocess
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
from evaluate import SCORE_PY  # noqa: E402

sys.path.insert(0, os.path.dirname(SCORE_PY))
import mir_eval  # noqa: E402
from midinotes import read_notes  # noqa: E402
from score import as_arrays, hz, note_prf, velocity_f1  # noqa: E402

CORPUS = "/work/corpus"
TOLERANCE = 0.05
INTERVALS = (12, 19, 24)


def pieces(split):
    with open(os.path.join(CORPUS, "manifest.json")) as f:
        return [p["name"] for p in json.load(f)["pieces"] if p["split"] == split]


def keys(args):
    return [f"{p}.{sf}.{room}" for sf in args.soundfont for room in args.room for p in pieces(args.split)]


def prepare_one(args, key):
    work = os.path.join(args.work, key)
    os.makedirs(work, exist_ok=True)
    if os.path.exists(os.path.join(work, key + ".engine.mid")):
        return
    subprocess.run(["nice", "-n", "10", args.starter, "-q", "--force", "-j", "1", "--keep-engine-files", work,
                    "-o", os.path.join(work, "auto.mid"), os.path.join(CORPUS, "audio", key + ".wav")],
                   capture_output=True)


def refine_one(args, key, params):
    work = os.path.join(args.work, key)
    out = os.path.join(work, "try")
    os.makedirs(out, exist_ok=True)
    for f in os.listdir(out):
        os.remove(os.path.join(out, f))
    tempo = os.path.join(work, key + ".tempo.bin")  # the settings name a temporary copy
    proc = subprocess.run(["nice", "-n", "10", args.refine, os.path.join(CORPUS, "audio", key + ".wav"),
                           os.path.join(work, key + ".engine.mid"), out, "--settings",
                           os.path.join(work, key + ".settings.txt"), "--params", params]
                          + (["--tempo-map", tempo] if os.path.exists(tempo) else []),
                          capture_output=True, text=True)
    counts = proc.stdout.strip().splitlines()
    ref = read_notes(os.path.join(CORPUS, "ref", key.split(".")[0] + ".mid"))
    rows = []
    for i in range(len(counts)):
        est = read_notes(os.path.join(out, f"{i}.mid"), skip_percussion=False)
        row = onset_figures(ref, est)
        row["counts"] = counts[i]
        if args.breakdown:
            row.update(breakdown(ref, est))
        rows.append(row)
    bp = os.path.join(CORPUS, "bp", key + ".mid")
    b = onset_figures(ref, read_notes(bp, skip_percussion=False)) if os.path.exists(bp) else None
    return key, rows, b


def onset_figures(ref, est):
    """Unshifted onset precision, recall and F1, and the velocity-aware F1 (the shared scorer's)."""
    p, r, f = note_prf(*as_arrays(ref), *as_arrays(est), None)
    return {"f1": f, "p": p, "r": r, "v": velocity_f1(ref, est)}


def sounding(notes, pitch, t, before=TOLERANCE):
    return any(n["pitch"] == pitch and n["onset"] < t - before and n["offset"] > t for n in notes)


def breakdown(ref, est):
    """Counts of misses and extras by kind (see the module's comment)."""
    ri, rp = as_arrays(ref)
    ei, ep = as_arrays(est)
    pairs = mir_eval.transcription.match_notes(ri, hz(rp), ei, hz(ep), onset_tolerance=TOLERANCE,
                                               offset_ratio=None) if len(ref) and len(est) else []
    hit_ref = {i for i, _ in pairs}
    hit_est = {j for _, j in pairs}
    out = {k: 0 for k in ("m_unproposed", "m_held", "m_octave", "m_late", "x_partial", "x_below", "x_repeat",
                          "x_other")}
    for i, r in enumerate(ref):
        if i in hit_ref:
            continue
        t, p = r["onset"], r["pitch"]
        if sounding(est, p, t):
            out["m_held"] += 1
        elif any(n["pitch"] == p and TOLERANCE < abs(n["onset"] - t) <= 0.15 for n in est):
            out["m_late"] += 1
        elif any(abs(n["pitch"] - p) in INTERVALS and abs(n["onset"] - t) <= TOLERANCE for n in est):
            out["m_octave"] += 1
        else:
            out["m_unproposed"] += 1
    for j, x in enumerate(est):
        if j in hit_est:
            continue
        t, p = x["onset"], x["pitch"]
        live = [r for r in ref if r["onset"] <= t + TOLERANCE and r["offset"] > t]
        if any(p - r["pitch"] in INTERVALS for r in live):
            out["x_partial"] += 1
        elif any(r["pitch"] - p in INTERVALS for r in live):
            out["x_below"] += 1
        elif any(r["pitch"] == p for r in live):
            out["x_repeat"] += 1
        else:
            out["x_other"] += 1
    return out


def table(todo, works):
    """Per piece: F1 (P/R) of the auto output in each work folder and of basic-pitch's; the means."""
    lines = ["| piece | " + " | ".join(os.path.basename(w.rstrip("/")) for w in works) + " | basic-pitch |",
             "|---|" + "---|" * (len(works) + 1)]
    sums = []
    for key in todo:
        ref = read_notes(os.path.join(CORPUS, "ref", key.split(".")[0] + ".mid"))
        paths = [os.path.join(w, key, "auto.mid") for w in works] + [os.path.join(CORPUS, "bp", key + ".mid")]
        figs = [onset_figures(ref, read_notes(p, skip_percussion=False)) if os.path.exists(p) else None
                for p in paths]
        sums.append(figs)
        lines.append(f"| `{key.split('.')[0]}` | " + " | ".join(
            f"{f['f1']:.3f} ({f['p']:.2f}/{f['r']:.2f})" if f else "–" for f in figs) + " |")
    means = []
    for i in range(len(works) + 1):
        got = [row[i] for row in sums if row[i]]
        means.append(f"**{np.mean([f['f1'] for f in got]):.3f}** ({np.mean([f['p'] for f in got]):.2f}/"
                     f"{np.mean([f['r'] for f in got]):.2f})" if got else "–")
    lines.append("| **mean** | " + " | ".join(means) + " |")
    return "\n".join(lines)


def main(argv):
    ap = argparse.ArgumentParser()
    ap.add_argument("what", choices=["prepare", "try", "table"])
    ap.add_argument("--after", help="the work folder of the version compared (table)")
    ap.add_argument("params", nargs="?")
    ap.add_argument("--soundfont", action="append", required=True)
    ap.add_argument("--room", action="append", required=True)
    ap.add_argument("--split", default="dev")
    ap.add_argument("--starter", default=os.path.join(ROOT, "build", "sonoscriptor"))
    ap.add_argument("--refine", default=os.path.join(ROOT, "build", "sonoscriptor-refine"))
    ap.add_argument("--work", default="/tmp/recall-eval/base")
    ap.add_argument("--breakdown", action="store_true")
    ap.add_argument("--per-piece", action="store_true")
    ap.add_argument("--per-rendering", action="store_true", help="each line's mean F1 per rendering")
    ap.add_argument("-j", "--jobs", type=int, default=2)
    a = ap.parse_args(argv)
    os.nice(10)
    todo = keys(a)
    with concurrent.futures.ThreadPoolExecutor(a.jobs) as pool:
        if a.what == "prepare":
            list(pool.map(lambda k: prepare_one(a, k), todo))
            return 0
        if a.what == "table":
            print(table(todo, [a.work, a.after]))
            return 0
        results = list(pool.map(lambda k: refine_one(a, k, a.params), todo))
    lines = len(results[0][1])
    bps = [b for _, _, b in results if b]
    if bps:
        print(f"basic-pitch: F1 {np.mean([b['f1'] for b in bps]):.4f} P {np.mean([b['p'] for b in bps]):.4f} "
              f"R {np.mean([b['r'] for b in bps]):.4f} V {np.mean([b['v'] for b in bps]):.4f} ({len(bps)})")
    with open(a.params) as f:
        names = f.read().splitlines() or [""]
    for i in range(lines):
        rows = [r[i] for _, r, _ in results if len(r) > i]
        text = (f"line {i} F1 {np.mean([r['f1'] for r in rows]):.4f} P {np.mean([r['p'] for r in rows]):.4f} "
                f"R {np.mean([r['r'] for r in rows]):.4f} V {np.mean([r['v'] for r in rows]):.4f}")
        if a.breakdown:
            text += " " + " ".join(f"{k}={sum(r[k] for r in rows)}" for k in rows[0] if k[:2] in ("m_", "x_"))
        print(text + f"   [{names[i] if i < len(names) else ''}]")
    if a.per_rendering:
        renderings = sorted({key.split(".", 1)[1] for key, _, _ in results})
        print("rendering (F1 P/R V): " + " ".join(f"{r:>24s}" for r in renderings) + "   mean F1")
        for i in range(lines):
            means, cells = [], []
            for rendering in renderings:
                rows = [r[i] for key, r, _ in results if key.split(".", 1)[1] == rendering and len(r) > i]
                means.append(np.mean([r["f1"] for r in rows]))
                cells.append(f"{means[-1]:.4f} {np.mean([r['p'] for r in rows]):.3f}/{np.mean([r['r'] for r in rows]):.3f}"
                             f" V {np.mean([r['v'] for r in rows]):.3f}")
            print(f"line {i:<11d} " + " ".join(f"{c:>24s}" for c in cells) + f" {np.mean(means):.4f}"
                  f"   [{names[i] if i < len(names) else ''}]")
    if a.per_piece:
        for key, rows, b in results:
            print(key, " ".join(f"{r['f1']:.3f}" for r in rows), f"bp {b['f1']:.3f}" if b else "")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
