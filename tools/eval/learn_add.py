#!/usr/bin/python3
"""A learned acceptance for the notes the refinement proposes: dump the candidates, fit, judge.

    learn_add.py dump --work ENGINE_DIR --out DIR --soundfont SF --room ROOM ... [--gate DB] [--params LINE]
                      [--refine PATH] [-j N]
    learn_add.py fit --out DIR --soundfont SF --room ROOM ... [--l2 L] [--folds K] [--check]

`dump` refines each engine file `recall.py prepare` kept in ENGINE_DIR (development half) twice with
`sonoscriptor-refine --candidates DB`: once without proposals (the notes every candidate is judged
against) and once with the thresholds of --params (the defaults when empty), whose proposal rule
lists every attack at least DB strong of a key with no note near it, with its features and whether
that rule took it (DIR/NAME.SF.ROOM/1.candidates.tsv).

`fit` labels each candidate: right when a reference onset of its key lies within 50 ms that no note
of the refinement without proposals matches (the nearest candidate of such an onset; the others are
wrong). It fits a logistic model (L2-penalised log-loss, scipy) with cross-validation grouped by
piece (all renderings of a piece in one fold), picks the acceptance probability that gives the best
mean onset F1 over the files on the out-of-fold predictions (each file's F1 estimated from its
notes without proposals and the candidates taken), and prints the out-of-fold precision and recall
of the candidates taken beside those of today's rule on the same candidates, per rendering, then
the weights fitted on every piece as the starter writes them (app/starter/refine/learned.cpp).
With --check it compares the model's chance in the dump (the starter's weights) with its own.
"""
import argparse
import concurrent.futures
import csv
import json
import os
import subprocess
import sys

import numpy as np
from scipy.optimize import minimize

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
from recall import CORPUS, TOLERANCE, keys  # noqa: E402
from evaluate import SCORE_PY  # noqa: E402

sys.path.insert(0, os.path.dirname(SCORE_PY))
import mir_eval  # noqa: E402
from midinotes import read_notes  # noqa: E402
from score import as_arrays, hz  # noqa: E402

# The model's inputs as the dump names them, and the knots of each (as learned.cpp): the model adds, per
# input, a straight segment between each pair of knots (below the first and beyond the last it is flat).
FEATURES = ["strength", "shortRise", "rise", "level", "below", "peak", "over", "lowerSounds", "attackLevel",
            "pitch", "sounding"]
# The partial profile the trees read besides (learned.h, PartialProfile): each key around the candidate's
# after it, re the candidate's own key, and how much louder every key is after it than before.
PROFILE_KEYS = (-31, -28, -24, -19, -17, -12, -7, -5, -2, -1, 0, 1, 2, 3, 4, 7, 12, 14, 16, 19, 24, 28, 31)
PROFILE = [f"around{d:+d}" for d in PROFILE_KEYS if d] + [f"change{d:+d}" for d in PROFILE_KEYS]
KNOTS = [
    [5.5, 7, 9, 12, 18, 30],      # strength
    [0, 3, 6, 12, 30],            # shortRise
    [0, 1, 2, 3, 6, 12, 30],      # rise
    [-40, -30, -24, -20, -16, -10, 0],  # level
    [-10, 0, 2, 4, 8, 30],        # below
    [-20, -2, 0, 1, 2, 4, 8, 30],  # peak
    [-30, -8, -5, -3, 0, 10],     # over
    [0, 1],                       # lowerSounds
    [-40, -30, -25, -20, -15, -10],  # attackLevel
    [21, 36, 48, 60, 72, 84, 108],  # pitch
    [0, 1, 2, 4, 8, 16],          # sounding
]


def dump_one(args, key, lines="addOn=0\n"):
    """Refines one engine file with the lines given and then --params, listing what the rules judged."""
    src = os.path.join(args.work, key)
    out = os.path.join(args.out, key)
    os.makedirs(out, exist_ok=True)
    params = os.path.join(out, "params.txt")
    with open(params, "w") as f:
        f.write(lines + args.params + "\n")
    tempo = os.path.join(src, key + ".tempo.bin")
    proc = subprocess.run(["nice", "-n", "10", args.refine, os.path.join(CORPUS, "audio", key + ".wav"),
                           os.path.join(src, key + ".engine.mid"), out, "--settings",
                           os.path.join(src, key + ".settings.txt"), "--params", params, "--candidates",
                           str(args.gate)] + (["--tempo-map", tempo] if os.path.exists(tempo) else []),
                          capture_output=True, text=True)
    if proc.returncode != 0:
        print(key, proc.stderr.strip(), file=sys.stderr)


def columns(rows, names):
    """The named columns of a listing's rows as a matrix (a row per row)."""
    return np.array([[float(r[n]) for n in names] for r in rows], float).reshape(-1, len(names))


def read_candidates(path):
    with open(path) as f:
        rows = list(csv.DictReader(f, delimiter="\t"))
    x = columns(rows, FEATURES)
    return {"time": np.array([float(r["time"]) for r in rows]), "key": np.array([int(r["key"]) for r in rows]),
            "x": x, "xt": columns(rows, FEATURES + PROFILE), "p": np.array([float(r["probability"]) for r in rows]),
            "taken": np.array([r["taken"] == "1" for r in rows], bool)}


def reference_matches(key, out):
    """A rendering's reference notes, the pairs (reference, written) its refined file 0.mid matches
    within TOLERANCE, and that file's counts (ref, est, matched)."""
    ref = read_notes(os.path.join(CORPUS, "ref", key.split(".")[0] + ".mid"))
    est = read_notes(os.path.join(out, key, "0.mid"), skip_percussion=False)
    ri, rp = as_arrays(ref)
    ei, ep = as_arrays(est)
    pairs = mir_eval.transcription.match_notes(ri, hz(rp), ei, hz(ep), onset_tolerance=TOLERANCE,
                                               offset_ratio=None) if len(ref) and len(est) else []
    return ref, pairs, (len(ref), len(est), len(pairs))


def nearest_right(c, key, out):
    """Labels candidates c (time, key) of one file against its refinement 0.mid: a candidate is right
    when it is the nearest, within TOLERANCE, to a reference onset of its key that no note of 0.mid
    matches. Sets c["y"] and c["counts"] (0.mid's ref, est, matched) and returns c."""
    ref, pairs, counts = reference_matches(key, out)
    hit = {i for i, _ in pairs}
    y = np.zeros(len(c["time"]), bool)
    for i, r in enumerate(ref):
        if i in hit:
            continue
        near = np.where((c["key"] == r["pitch"]) & (np.abs(c["time"] - r["onset"]) <= TOLERANCE))[0]
        if len(near):
            y[near[np.argmin(np.abs(c["time"][near] - r["onset"]))]] = True
    c["y"] = y
    c["counts"] = counts
    return c


def label(key, out):
    """One file's candidates with their labels, and its counts without proposals (ref, est, matched)."""
    return nearest_right(read_candidates(os.path.join(out, key, "1.candidates.tsv")), key, out)


def basis(x, knots_of=KNOTS):
    """The inputs as the model reads them: per input, its part within each segment between its knots."""
    cols = []
    for i, knots in enumerate(knots_of):
        for lo, hi in zip(knots[:-1], knots[1:]):
            cols.append(np.clip(x[:, i], lo, hi) - lo)
    return np.stack(cols, 1)


def fit(x, y, l2):
    """Weights and bias on the basis of the raw inputs from an L2-penalised logistic fit on standardised ones."""
    return fit_basis(basis(x), y, l2)


def fit_basis(z, y, l2):
    """Weights and bias on the basis z from an L2-penalised logistic fit on its standardised columns."""
    mu, sd = z.mean(0), z.std(0) + 1e-9
    s = (z - mu) / sd

    def loss(w):
        t = s @ w[1:] + w[0]
        ll = np.logaddexp(0, t) - y * t
        g = 1 / (1 + np.exp(-t)) - y
        return ll.sum() + 0.5 * l2 * (w[1:] ** 2).sum(), np.concatenate([[g.sum()], s.T @ g + l2 * w[1:]])

    w = minimize(loss, np.zeros(z.shape[1] + 1), jac=True, method="L-BFGS-B", options={"maxiter": 2000}).x
    return w[1:] / sd, w[0] - (w[1:] * mu / sd).sum()


def fit_on(a, files):
    """The model fitted on the candidates of these files at least --min-strength strong."""
    x = np.concatenate([c["x"] for c in files])
    y = np.concatenate([c["y"] for c in files])
    strong = x[:, 0] >= a.min_strength
    return fit(x[strong], y[strong], a.l2)


def prob(x, weights, bias, knots_of=KNOTS):
    return 1 / (1 + np.exp(-(basis(x, knots_of) @ weights + bias)))


def mean_f1(files, taken):
    """Mean over the files of the onset F1 estimated from each file's counts and the candidates taken."""
    f1 = []
    for c, t in zip(files, taken):
        n_ref, n_est, tp = c["counts"]
        tp, n_est = tp + (t & c["y"]).sum(), n_est + t.sum()
        f1.append(2 * tp / (n_ref + n_est) if n_ref + n_est else 0)
    return float(np.mean(f1))


def pr(files, taken):
    y = np.concatenate([c["y"] for c in files])
    t = np.concatenate(taken)
    return (t & y).sum() / max(t.sum(), 1), (t & y).sum() / max(y.sum(), 1), int(t.sum())


def command_line():
    """The options both fitting scripts take; each adds its own and -j."""
    ap = argparse.ArgumentParser()
    ap.add_argument("what", choices=["dump", "fit"])
    ap.add_argument("--work", default="/tmp/recall10/dev")
    ap.add_argument("--out", required=True)
    ap.add_argument("--soundfont", action="append", required=True)
    ap.add_argument("--room", action="append", required=True)
    ap.add_argument("--split", default="dev")
    ap.add_argument("--gate", type=float, default=3)
    ap.add_argument("--params", default="")
    ap.add_argument("--refine", default=os.path.join(ROOT, "build", "sonoscriptor-refine"))
    ap.add_argument("--l2", type=float, default=1.0)
    ap.add_argument("--folds", type=int, default=4)
    return ap


def dump_all(a, todo, dump):
    """Dumps every file of todo with dump(a, key), a.jobs at a time, at a low priority."""
    os.nice(10)
    with concurrent.futures.ThreadPoolExecutor(a.jobs) as pool:
        list(pool.map(lambda k: dump(a, k), todo))


def check_split(a, script):
    """Exits unless the split of a may be used: never the held-out half; the training pieces only to
    be dumped (the fits judge the development half and take them only through --also)."""
    if a.split == "held" or (a.split != "dev" and a.what != "dump"):
        sys.exit(f"{script} fits on the development half only, and dumps it or the training pieces")


def piece_folds(todo, count):
    """The pieces of todo sorted and dealt into count folds in turn (every rendering of a piece in
    its piece's fold): the fold of each key of todo, and the fold of each piece."""
    pieces = sorted({k.split(".")[0] for k in todo})
    fold_of = {p: i % count for i, p in enumerate(pieces)}
    return np.array([fold_of[k.split(".")[0]] for k in todo]), fold_of


def main(argv):
    ap = command_line()
    ap.add_argument("--min-strength", type=float, default=5.5,
                    help="the model is fitted on and takes only candidates at least this strong (addStrength)")
    ap.add_argument("--check", action="store_true")
    ap.add_argument("-j", "--jobs", type=int, default=2)
    a = ap.parse_args(argv)
    check_split(a, "learn_add.py")
    todo = keys(a)
    if a.what == "dump":
        dump_all(a, todo, dump_one)
        return 0
    files = [label(k, a.out) for k in todo]
    folds, _ = piece_folds(todo, a.folds)
    allowed = [c["x"][:, 0] >= a.min_strength for c in files]
    oof = [np.zeros(len(c["y"])) for c in files]
    for k in range(a.folds):
        w, b = fit_on(a, [c for c, f in zip(files, folds) if f != k])
        for i in np.where(folds == k)[0]:
            oof[i] = prob(files[i]["x"], w, b)
    today = [c["taken"] for c in files]
    n = sum(len(c["y"]) for c in files)
    print(f"{len(files)} files, {n} candidates, {sum(c['y'].sum() for c in files)} right")
    print(f"without proposals: mean F1 {mean_f1(files, [np.zeros_like(t) for t in today]):.4f}")
    p, r, m = pr(files, today)
    print(f"today's rule:      mean F1 {mean_f1(files, today):.4f}  taken {m}  P {p:.3f} R {r:.3f}")
    best = None
    for cut in np.arange(0.20, 0.801, 0.025):
        taken = [(o >= cut) & ok for o, ok in zip(oof, allowed)]
        f = mean_f1(files, taken)
        p, r, m = pr(files, taken)
        print(f"model cut {cut:.3f}:  mean F1 {f:.4f}  taken {m}  P {p:.3f} R {r:.3f}  (out of fold)")
        if best is None or f > best[0]:
            best = (f, cut)
    cut = best[1]
    renderings = sorted({k.split(".", 1)[1] for k in todo})
    print(f"per rendering at cut {cut:.3f} (out of fold): today -> model")
    for rendering in renderings:
        idx = [i for i, k in enumerate(todo) if k.split(".", 1)[1] == rendering]
        sub = [files[i] for i in idx]
        mt = [(oof[i] >= cut) & allowed[i] for i in idx]
        print(f"  {rendering:16s} {mean_f1(sub, [today[i] for i in idx]):.4f} -> {mean_f1(sub, mt):.4f}")
    families = {}
    with open(os.path.join(CORPUS, "manifest.json")) as f:
        family = {p["name"]: p["family"] for p in json.load(f)["pieces"]}
    for i, k in enumerate(todo):
        families.setdefault(family[k.split(".")[0]], []).append(i)
    print("per family, F1 a file (out of fold): today -> model")
    for fam, idx in sorted(families.items()):
        sub = [files[i] for i in idx]
        print(f"  {fam:16s} {mean_f1(sub, [today[i] for i in idx]):.4f} -> "
              f"{mean_f1(sub, [(oof[i] >= cut) & allowed[i] for i in idx]):.4f}  ({len(idx)})")
    w, b = fit_on(a, files)
    if a.check:
        mine = np.concatenate([prob(c["x"], w, b) for c in files])
        theirs = np.concatenate([c["p"] for c in files])
        print(f"largest difference from the dump's chances: {np.abs(mine - theirs).max():.2e}")
    print("the model fitted on every piece (learned.cpp):")
    print("constexpr Segment Segments[] = {")
    row = 0
    for i, knots in enumerate(KNOTS):
        for lo, hi in zip(knots[:-1], knots[1:]):
            print(f"    {{{i}, {lo}, {hi}, {w[row]:.6g}}},  // {FEATURES[i]}")
            row += 1
    print("};")
    print(f"constexpr double Bias = {b:.6g};")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
