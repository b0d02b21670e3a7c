#!/usr/bin/python3
"""The soft re-strikes' candidates for a learned judgement: dump them and label them.

    learn_restrike.py dump --work ENGINE_DIR --out DIR --soundfont SF --room ROOM ... [--params LINE]
                      [--refine PATH] [-j N]

`dump` refines each engine file `recall.py prepare` kept in ENGINE_DIR (development half) twice with
`sonoscriptor-refine --candidates`: once without soft re-strikes (`restrikeOn=0`: the notes every
candidate is judged against) and once with the thresholds of --params, whose re-strike rule lists
every attack at least `restrikeGate` strong inside a note, with what it measured there and whether
the rule split the note (DIR/NAME.SF.ROOM/1.restruck.tsv). `learn_trees.py restrike` labels and fits
them: a candidate is right when it is the nearest to a reference onset of its key, within 50 ms, that
no note of the refinement without re-strikes matches.
"""
import csv
import os
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import learn_add  # noqa: E402
from recall import keys  # noqa: E402


def dump_one(args, key):
    learn_add.dump_one(args, key, "restrikeOn=0\n")


def label(key, out):
    """One file's candidates with their labels, and its counts without re-strikes (ref, est, matched)."""
    with open(os.path.join(out, key, "1.restruck.tsv")) as f:
        reader = csv.DictReader(f, delimiter="\t")
        names = [n for n in reader.fieldnames if n not in ("time", "key", "left", "probability", "taken")]
        rows = list(reader)
    c = {"time": np.array([float(r["time"]) for r in rows]), "key": np.array([int(r["key"]) for r in rows]),
         "x": np.array([[float(r[n]) for n in names] for r in rows], float).reshape(-1, len(names)),
         "left": np.array([float(r["left"]) for r in rows]), "p": np.array([float(r["probability"]) for r in rows]),
         "taken": np.array([r["taken"] == "1" for r in rows], bool)}
    return learn_add.nearest_right(c, key, out)


def mean_f1(files, taken):
    """Mean over the files of the onset F1 estimated from each file's notes without re-strikes and
    the candidates taken (each splits a note: one onset more)."""
    f1 = []
    for c, t in zip(files, taken):
        n_ref, n_est, tp = c["counts"]
        tp += (t & c["y"]).sum()
        n_est += t.sum()
        f1.append(2 * tp / (n_ref + n_est) if n_ref + n_est else 0)
    return float(np.mean(f1))


def main(argv):
    ap = learn_add.command_line()
    ap.add_argument("-j", "--jobs", type=int, default=2)
    a = ap.parse_args(argv)
    if a.what != "dump":
        sys.exit("learn_restrike.py only dumps; learn_trees.py restrike fits")
    learn_add.check_split(a, "learn_restrike.py")
    learn_add.dump_all(a, keys(a), dump_one)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
