#!/usr/bin/python3
"""Learn the choice among the metre readings, judged with each piece left out.

    metre_learn.py DUMP_DIR [--corpus /work/corpus] [--l2 0.01] [--json FILE] [--also TRAIN_DUMP_DIR]

DUMP_DIR holds one file KEY.jsonl per rendering (KEY = NAME.SOUNDFONT.ROOM),
written by `SONOSCRIPTOR_METRE_DUMP=DUMP_DIR/KEY.jsonl sonoscriptor --beats
AUDIO`: every reading the chooser weighs, at its best phase, with its
features, the beat (beats per minute), numerator and first downbeat (seconds
of the file) it would write. Each reading is labelled as run_wide.py judges
the starter's (tools/eval/metre.py): beat within 4 %, numerator, first
downbeat within 70 ms of the first written bar line.

A linear score over the features is fitted as a conditional logit: a softmax
over each rendering's readings, the chance of choosing one of those with the
most right judgements maximised, with an L2 penalty pulling the weights
towards the hand-set ones (the chooser as it is). It is judged
leave-one-piece-out: all renderings of a piece left out together, the
weights fitted on the others, the left-out renderings' readings chosen by
them. Prints the right judgements (of 3 per rendering) of the hand-set
choice, of the learned one left out, of the learned one in-sample, and of
the best reading (the ceiling); the per-piece gains and losses; and the
weights fitted on all pieces, in the order of the starter's LearnedWeights.
With --also, the training pieces' dumps (the corpus's split `train`) join
every fit and are never judged; one made of a development piece's music (its
`origin` in the manifest) stays out of the fit that judges that piece.
"""
import argparse
import collections
import glob
import json
import os
import sys

import numpy as np
from scipy.optimize import minimize

TEMPO_TOLERANCE = 0.04
DOWNBEAT_WINDOW = 0.070
# The order of the starter's ReadingFeature, and the hand-set weights that give its score.
FEATURES = ["fit", "tempoPrior", "logTempo", "barCost", "fasterLevel", "tripleRelation", "compoundUnclear",
            "compoundEvidence", "downbeatAccent", "downbeatBass", "downbeatChange", "halvesAccent", "halvesBass",
            "halvesChange", "agreesSecond", "partsContrast"]
HAND = np.array([1, 0.3, 0, -1, -0.2, -0.15, -0.3, 0, 0, 0, 0, 0, 0, 0, 0, 0], dtype=float)


def judged(reading, truth):
    """(beat, numerator, downbeat) right for one reading against a piece's truth."""
    beat = reading["bpm"] > 0 and abs(reading["bpm"] / truth["beat_bpm_median"] - 1) <= TEMPO_TOLERANCE
    numerator = reading["numerator"] == int(truth["metre"].split("/")[0])
    first = reading["firstDownbeat"]
    downbeat = first >= -DOWNBEAT_WINDOW and abs(first - truth["downbeats"][0]) <= DOWNBEAT_WINDOW
    return np.array([beat, numerator, downbeat], dtype=int)


def load(dump_dir, corpus, phases=False):
    """[{key, piece, X (readings x features), right (readings x 3), chosen (index)}] per rendering;
    the readings at their best phases only, or with phases at every phase the dump holds."""
    out = []
    for path in sorted(glob.glob(os.path.join(dump_dir, "*.jsonl"))):
        key = os.path.basename(path)[:-len(".jsonl")]
        piece = key.split(".")[0]
        readings = [json.loads(line) for line in open(path) if line.strip()]
        readings = [r for r in readings if phases or r.get("bestPhase", True)]
        if not readings:
            continue
        truth = json.load(open(os.path.join(corpus, "truth", piece + ".json")))
        X = np.array([[r["features"][f] for f in FEATURES] for r in readings], dtype=float)
        right = np.array([judged(r, truth) for r in readings])
        chosen = [i for i, r in enumerate(readings) if r["chosen"]]
        out.append(dict(key=key, piece=piece, X=X, right=right, chosen=chosen[0] if chosen else None,
                        readings=readings))
    return out


def softmax(s):
    """The softmax of scores."""
    p = np.exp(s - s.max())
    return p / p.sum()


def pack(data, objective):
    """The renderings' readings stacked for the loss: features, right judgements, the start of each
    rendering's readings, and which renderings count (best and share skip those with none right)."""
    keep = [d for d in data if objective == "expected" or d["right"].sum() > 0]
    X = np.vstack([d["X"] for d in keep])
    count = np.concatenate([d["right"].sum(axis=1) for d in keep]).astype(float)
    sizes = np.array([len(d["X"]) for d in keep])
    starts = np.concatenate([[0], np.cumsum(sizes)[:-1]])
    group = np.repeat(np.arange(len(keep)), sizes)
    top = np.maximum.reduceat(count, starts)
    target = (count == top[group]).astype(float) if objective == "best" else count
    return dict(X=X, count=count, starts=starts, group=group, target=target, n=max(len(keep), 1),
                objective=objective)


def loss(w, packed, l2):
    """The mean loss over the renderings and its gradient. best: the negative log chance of a reading
    with the most right judgements; share: the cross-entropy against the readings weighted by their
    right judgements; expected: minus the expected right judgements of the softmax's choice."""
    X, g, starts = packed["X"], packed["group"], packed["starts"]
    s = X @ w
    s = s - np.maximum.reduceat(s, starts)[g]
    e = np.exp(s)
    z = np.add.reduceat(e, starts)
    p = e / z[g]
    mean_x = np.add.reduceat(p[:, None] * X, starts)
    if packed["objective"] == "expected":
        c = packed["count"]
        total = -np.sum(p * c)
        grad = -np.sum((p * c)[:, None] * (X - mean_x[g]), axis=0)
    elif packed["objective"] == "best":
        t = packed["target"]
        pg = np.add.reduceat(p * t, starts)
        total = -np.sum(np.log(np.maximum(pg, 1e-300)))
        grad = np.sum(mean_x - np.add.reduceat((p * t)[:, None] * X, starts) / pg[:, None], axis=0)
    else:
        t = packed["target"]
        q = t / np.add.reduceat(t, starts)[g]
        logp = s - np.log(z)[g]
        total = -np.sum(q * logp)
        grad = np.sum(mean_x - np.add.reduceat(q[:, None] * X, starts), axis=0)
    n = packed["n"]
    dw = w - HAND
    return total / n + l2 * dw @ dw, grad / n + 2 * l2 * dw


def fit(data, l2, objective="best"):
    """The weights fitted on the renderings."""
    r = minimize(loss, HAND.copy(), args=(pack(data, objective), l2), jac=True, method="L-BFGS-B")
    return r.x


def choose(d, w):
    """The index of the reading the weights choose."""
    return int(np.argmax(d["X"] @ w))


def right_of(data, picks):
    """Right judgements (beat, numerator, downbeat) of the picked readings."""
    return sum((d["right"][i] for d, i in zip(data, picks)), np.zeros(3, dtype=int))


GRID = [(o, l2) for o in ("best", "share", "expected") for l2 in (0.001, 0.01, 0.1, 1)]


def outside(extra, piece):
    """The extra renderings that may join a fit judged on piece: not it, nor made of its music."""
    return [d for d in extra if d["piece"] != piece and d.get("origin") != piece]


def lopo_picks(data, objective, l2, extra=()):
    """The readings chosen with each piece left out in turn, by weights fitted on the others."""
    picks = [None] * len(data)
    for p in sorted({d["piece"] for d in data}):
        w = fit([d for d in data if d["piece"] != p] + outside(extra, p), l2, objective)
        for i, d in enumerate(data):
            if d["piece"] == p:
                picks[i] = choose(d, w)
    return picks


def nested_fold(args):
    """For one piece left out: the objective and penalty whose leave-one-piece-out right judgements
    on the other pieces are the most, and the left-out renderings' picks by weights so fitted."""
    data, piece, extra = args
    rest = [d for d in data if d["piece"] != piece]
    extra = outside(extra, piece)
    scores = [right_of(rest, lopo_picks(rest, o, l2, extra)).sum() for o, l2 in GRID]
    o, l2 = GRID[int(np.argmax(scores))]
    w = fit(rest + extra, l2, o)
    return piece, (o, l2), {i: choose(d, w) for i, d in enumerate(data) if d["piece"] == piece}


def nested(data, jobs, extra=()):
    """Leave-one-piece-out with the objective and penalty chosen inside each fold (GRID)."""
    import multiprocessing
    pieces = sorted({d["piece"] for d in data})
    picks = [None] * len(data)
    chosen = collections.Counter()
    with multiprocessing.Pool(jobs) as pool:
        for piece, config, fold in pool.imap_unordered(nested_fold, [(data, p, list(extra)) for p in pieces]):
            chosen[config] += 1
            for i, k in fold.items():
                picks[i] = k
    return picks, chosen


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("dump_dir")
    ap.add_argument("--corpus", default="/work/corpus")
    ap.add_argument("--l2", type=float, default=0.01, help="pull of the weights towards the hand-set ones")
    ap.add_argument("--objective", choices=["best", "share", "expected"], default="best",
                    help="what the fit maximises (see loss)")
    ap.add_argument("--phases", action="store_true",
                    help="every reading at each phase with its downbeat on a beat, not only its best one")
    ap.add_argument("--nested", type=int, metavar="JOBS", default=0,
                    help="also choose the objective and penalty inside each fold (slow; JOBS processes)")
    ap.add_argument("--json", help="write the per-rendering picks and the weights here")
    ap.add_argument("--also", help="the training pieces' dump directory: in every fit, never judged")
    args = ap.parse_args(argv)
    data = load(args.dump_dir, args.corpus, args.phases)
    extra = load(args.also, args.corpus, args.phases) if args.also else []
    with open(os.path.join(args.corpus, "manifest.json")) as f:
        origin = {p["name"]: p.get("origin") for p in json.load(f)["pieces"]}
    for d in extra:
        d["origin"] = origin.get(d["piece"])
    pieces = sorted({d["piece"] for d in data})
    print(f"{len(data)} renderings of {len(pieces)} pieces, {sum(len(d['X']) for d in data)} readings"
          + (f"; {len(extra)} training renderings beside them" if extra else ""))

    hand = [choose(d, HAND) for d in data]
    starter = [d["chosen"] if d["chosen"] is not None else h for d, h in zip(data, hand)]
    mismatch = sum(1 for d, h in zip(data, hand) if d["chosen"] is not None and d["chosen"] != h)
    ceiling = [int(np.argmax(d["right"].sum(axis=1))) for d in data]
    lopo = [None] * len(data)
    weights = {}
    for p in pieces:
        w = fit([d for d in data if d["piece"] != p] + outside(extra, p), args.l2, args.objective)
        weights[p] = w
        for i, d in enumerate(data):
            if d["piece"] == p:
                lopo[i] = choose(d, w)
    w_all = fit(data + extra, args.l2, args.objective)
    insample = [choose(d, w_all) for d in data]

    def line(name, picks):
        r = right_of(data, picks)
        print(f"| {name} | {r[0]} | {r[1]} | {r[2]} | {r.sum()} |")

    print(f"\nhand-set score's pick differs from the starter's on {mismatch} renderings")
    print(f"\n| choice (of {len(data)} renderings) | beat | numerator | first downbeat | all |")
    print("|---|---|---|---|---|")
    line("the starter's", starter)
    line("hand-set score", hand)
    line("learned, each piece left out", lopo)
    if args.nested:
        picks, configs = nested(data, args.nested, extra)
        line("learned, objective and penalty chosen inside each fold", picks)
    line("learned on all pieces (in-sample)", insample)
    line("best reading (ceiling)", ceiling)

    if args.nested:
        print("\nobjective and penalty chosen in the folds:", dict(configs))
    per = collections.Counter()
    for d, a, b in zip(data, starter, lopo):
        per[d["piece"]] += int(d["right"][b].sum() - d["right"][a].sum())
    print("\npieces better left out:", {p: v for p, v in sorted(per.items()) if v > 0})
    print("pieces worse left out:", {p: v for p, v in sorted(per.items()) if v < 0})

    spread = np.array(list(weights.values()))
    print("\n| feature | hand-set | learned (all pieces) | folds' min .. max |")
    print("|---|---|---|---|")
    for j, f in enumerate(FEATURES):
        print(f"| {f} | {HAND[j]:g} | {w_all[j]:.3f} | {spread[:, j].min():.3f} .. {spread[:, j].max():.3f} |")
    print("\nweights (ReadingFeature order): {" + ", ".join(f"{x:.4g}" for x in w_all) + "}")
    if args.json:
        json.dump(dict(weights=dict(zip(FEATURES, w_all.tolist())), l2=args.l2,
                       renderings=[dict(key=d["key"], starter=d["right"][a].tolist(), lopo=d["right"][b].tolist(),
                                        learned=d["readings"][b], ceiling=d["right"][c].tolist())
                                   for d, a, b, c in zip(data, starter, lopo, ceiling)]),
                  open(args.json, "w"), indent=1)


if __name__ == "__main__":
    main(sys.argv[1:])
