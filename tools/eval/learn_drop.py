#!/usr/bin/python3
"""A learned judgement of the engine's own notes (keep or drop): dump the notes, fit, judge.

    learn_drop.py dump --work ENGINE_DIR --out DIR --soundfont SF --room ROOM ... [--params LINE]
                       [--refine PATH] [-j N]
    learn_drop.py fit --out DIR --soundfont SF --room ROOM ... [--l2 L] [--folds K]

`dump` refines each engine file `recall.py prepare` kept in ENGINE_DIR (development half) with the
thresholds of --params (the defaults when empty) and `sonoscriptor-refine --candidates`, which lists
every measured note of the engine as the drop rules meet it, with what they may measure there and
whether they kept it (DIR/NAME.SF.ROOM/0.judged.tsv; the refined file is DIR/NAME.SF.ROOM/0.mid).

`fit` labels each note right when a reference onset of its key lies within 50 ms of it, fits the
logistic model of learn_add.py (straight pieces between knots per input, L2-penalised log-loss) with
cross-validation grouped by piece (all renderings of a piece in one fold), and compares keeping the
notes whose out-of-fold chance is at least a cut with today's rules, on the same notes: each file's
onset F1 is estimated from the refined file's counts, less the notes today kept that the model
drops and plus those it keeps that today dropped.
"""
import csv
import json
import os
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
from recall import CORPUS, TOLERANCE, keys  # noqa: E402
import learn_add  # noqa: E402
from learn_add import fit_basis  # noqa: E402

FEATURES = ["strength", "shortRise", "nearStrength", "level", "rise", "below", "over", "lowerSounds", "struck",
            "peak", "attackLevel", "pitch", "sounding", "confirmed", "moved"]
KNOTS = [
    [0, 3, 6, 9, 12, 18, 30],     # strength
    [0, 3, 6, 12, 30],            # shortRise
    [0, 3, 6, 9, 12, 18, 30],     # nearStrength
    [-40, -30, -24, -20, -16, -10, 0],  # level
    [0, 1, 2, 3, 6, 12, 30],      # rise
    [-10, 0, 2, 4, 8, 30],        # below
    [-30, -8, -5, -3, 0, 10],     # over
    [0, 1],                       # lowerSounds
    [0, 1],                       # struck
    [-20, -2, 0, 1, 2, 4, 8, 30],  # peak
    [-40, -30, -25, -20, -15, -10],  # attackLevel
    [21, 36, 48, 60, 72, 84],     # pitch (flat above 84: few notes so high to learn from)
    [0, 1, 2, 4, 8, 16],          # sounding
    [0, 1],                       # confirmed
    [0, 1],                       # moved
]


def dump_one(args, key):
    learn_add.dump_one(args, key, "")


def label(key, out):
    """One file's judged notes with their labels, and the refined file's counts (ref, est, matched)."""
    with open(os.path.join(out, key, "0.judged.tsv")) as f:
        rows = list(csv.DictReader(f, delimiter="\t"))
    c = {"time": np.array([float(r["time"]) for r in rows]), "key": np.array([int(r["key"]) for r in rows]),
         "x": learn_add.columns(rows, FEATURES), "xt": learn_add.columns(rows, FEATURES + learn_add.PROFILE),
         "kept": np.array([r["kept"] == "1" for r in rows], bool)}
    ref, _, counts = learn_add.reference_matches(key, out)
    y = np.zeros(len(rows), bool)
    for r in ref:
        y |= (c["key"] == r["pitch"]) & (np.abs(c["time"] - r["onset"]) <= TOLERANCE)
    c["y"] = y
    c["counts"] = counts
    return c


def fit_on(a, files):
    x = np.concatenate([c["x"] for c in files])
    y = np.concatenate([c["y"] for c in files])
    return fit_basis(basis(x), y, a.l2)


def basis(x):
    return learn_add.basis(x, KNOTS)


def prob(x, weights, bias):
    return learn_add.prob(x, weights, bias, KNOTS)


def write_weights(path, weights, bias):
    """The weights as learned.cpp's DropSegments and DropBias."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write("constexpr Segment DropSegments[] = {\n")
        row = 0
        for i, knots in enumerate(KNOTS):
            for lo, hi in zip(knots[:-1], knots[1:]):
                f.write(f"    {{{i}, {lo}, {hi}, {weights[row]:.6g}}},  // {FEATURES[i]}\n")
                row += 1
        f.write(f"}};\nconstexpr double DropBias = {bias:.6g};\n")


def mean_f1(files, keep):
    f1 = []
    for c, k in zip(files, keep):
        n_ref, n_est, tp = c["counts"]
        gained, lost = k & ~c["kept"], ~k & c["kept"]
        tp += (gained & c["y"]).sum() - (lost & c["y"]).sum()
        n_est += gained.sum() - lost.sum()
        f1.append(2 * tp / (n_ref + n_est) if n_ref + n_est else 0)
    return float(np.mean(f1))


def pr(files, keep):
    y = np.concatenate([c["y"] for c in files])
    k = np.concatenate(keep)
    return (k & y).sum() / max(k.sum(), 1), (k & y).sum() / max(y.sum(), 1), int((~k).sum())


def main(argv):
    ap = learn_add.command_line()
    ap.add_argument("--only", choices=["all", "unconfirmed"], default="all",
                    help="the notes the model may drop: all, or those without an attack at the onset written")
    ap.add_argument("--with-rules", action="store_true",
                    help="the model drops only among the notes today's rules keep (dropModel=2)")
    ap.add_argument("--weights", help="write the weights fitted on every piece (all.txt) and without each fold "
                    "(foldK.txt, with foldK.pieces) to this directory, as learned.cpp holds them")
    ap.add_argument("-j", "--jobs", type=int, default=2)
    a = ap.parse_args(argv)
    learn_add.check_split(a, "learn_drop.py")
    todo = keys(a)
    if a.what == "dump":
        learn_add.dump_all(a, todo, dump_one)
        return 0
    files = [label(k, a.out) for k in todo]
    folds, fold_of = learn_add.piece_folds(todo, a.folds)
    judged = [np.ones(len(c["y"]), bool) if a.only == "all" else c["x"][:, FEATURES.index("confirmed")] == 0
              for c in files]
    oof = [np.ones(len(c["y"])) for c in files]
    for k in range(a.folds):
        train = [(c, j) for c, j, f in zip(files, judged, folds) if f != k]
        x = np.concatenate([c["x"][j] for c, j in train])
        y = np.concatenate([c["y"][j] for c, j in train])
        w, b = fit_basis(basis(x), y, a.l2)
        if a.weights:
            write_weights(os.path.join(a.weights, f"fold{k}.txt"), w, b)
            with open(os.path.join(a.weights, f"fold{k}.pieces"), "w") as f:
                f.write("\n".join(p for p in sorted(fold_of) if fold_of[p] == k) + "\n")
        for i in np.where(folds == k)[0]:
            oof[i] = np.where(judged[i], prob(files[i]["x"], w, b), 1.0)
    today = [c["kept"] for c in files]
    n = sum(len(c["y"]) for c in files)
    print(f"{len(files)} files, {n} notes, {sum(c['y'].sum() for c in files)} right, "
          f"{sum(j.sum() for j in judged)} judged by the model")
    print(f"keep all:     mean F1 {mean_f1(files, [np.ones_like(t) for t in today]):.4f}")
    p, r, m = pr(files, today)
    print(f"today's rules: mean F1 {mean_f1(files, today):.4f}  dropped {m}  P {p:.3f} R {r:.3f}")
    best = None
    for cut in np.arange(0.05, 0.601, 0.025):
        keep = [(o >= cut) & (t if a.with_rules else True) for o, t in zip(oof, today)]
        f = mean_f1(files, keep)
        p, r, m = pr(files, keep)
        print(f"model cut {cut:.3f}: mean F1 {f:.4f}  dropped {m}  P {p:.3f} R {r:.3f}  (out of fold)")
        if best is None or f > best[0]:
            best = (f, cut)
    cut = best[1]
    print(f"per rendering at cut {cut:.3f} (out of fold): today -> model")
    for rendering in sorted({k.split(".", 1)[1] for k in todo}):
        idx = [i for i, k in enumerate(todo) if k.split(".", 1)[1] == rendering]
        print(f"  {rendering:16s} {mean_f1([files[i] for i in idx], [today[i] for i in idx]):.4f} -> "
              f"{mean_f1([files[i] for i in idx], [(oof[i] >= cut) & (today[i] | (not a.with_rules)) for i in idx]):.4f}")
    with open(os.path.join(CORPUS, "manifest.json")) as f:
        family = {p["name"]: p["family"] for p in json.load(f)["pieces"]}
    families = {}
    for i, k in enumerate(todo):
        families.setdefault(family[k.split(".")[0]], []).append(i)
    print("per family, F1 a file (out of fold): today -> model")
    for fam, idx in sorted(families.items()):
        print(f"  {fam:16s} {mean_f1([files[i] for i in idx], [today[i] for i in idx]):.4f} -> "
              f"{mean_f1([files[i] for i in idx], [(oof[i] >= cut) & (today[i] | (not a.with_rules)) for i in idx]):.4f}"
              f"  ({len(idx)})")
    if a.weights:
        x = np.concatenate([c["x"][j] for c, j in zip(files, judged)])
        y = np.concatenate([c["y"][j] for c, j in zip(files, judged)])
        write_weights(os.path.join(a.weights, "all.txt"), *fit_basis(basis(x), y, a.l2))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
