#!/usr/bin/python3
"""The proposals judged from the recording itself: a small neural network over a patch of its spectra.

    learn_patch.py patches --out DIR --soundfont SF --room ROOM ... [--split dev|train] [-j N]
    learn_patch.py fit --out DIR --soundfont SF --room ROOM ... [--also train] [--nested] [--hidden 256,64]

A measurement: nothing here is read by the starter.

`patches` takes each rendering's proposals from what `learn_add.py dump` left in DIR (those at least
--min-strength strong, as the acceptance judges them) and, from the rendering's 22050 Hz mono audio in
the corpus, two short-time spectra every 10 ms (Hann windows of 2048 and 512 samples); a key's power is
the largest of its bins within half a semitone of it, in dB below the recording's loudest, floored at
-60. Around each proposal it keeps a patch of both: the keys 24 below to 36 above its own, the hops 4
before to 12 after its own (DIR/KEY/patches.npz).

`fit` fits a multi-layer perceptron (scikit-learn's MLPClassifier, hidden layers of 256 and 64 or --hidden, fitted
on every right proposal and four times as many wrong ones drawn at random) cross-validated by piece with
the acceptance's folds, and prints the out-of-fold estimate of the mean F1 a file (learn_add.mean_f1) at
each cut: of the network alone, of the acceptance's trees (learn_trees.py) as they are, and of those
trees with the network's log-odds as one more input. The trees of a fold are fitted on the network's
chances at the pieces they are fitted on: with --nested those of networks fitted within that fold's
fitting pieces alone (a network for every pair of folds); without, the plain out-of-fold chances, which
networks fitted on the judged fold gave. With --also train the training pieces' patches join every
network's fit (one made of a development piece's music stays out of that piece's fold), never the trees'.
"""
import concurrent.futures
import os
import sys

import numpy as np
from scipy.io import wavfile
from sklearn.neural_network import MLPClassifier

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import learn_add  # noqa: E402
import learn_trees  # noqa: E402

RATE = 22050
HOP_SECONDS = 0.01
WINDOWS = (2048, 512)
FLOOR_DB = -60
KEYS_BELOW, KEYS_ABOVE = 24, 36
HOPS_BEFORE, HOPS_AFTER = 4, 12
LOWEST_KEY, KEY_COUNT = 21, 88
PITCH = learn_add.FEATURES.index("pitch")
NETWORK = dict(hidden_layer_sizes=(256, 64), alpha=1e-3, batch_size=256, max_iter=40, early_stopping=True,
               n_iter_no_change=5, random_state=0)
WRONG_PER_RIGHT = 4


def key_levels(x, window):
    """dB below the loudest of each key's power (its largest bin within half a semitone; the nearest bin
    where none lies that near) every HOP_SECONDS, from Hann windows of `window` samples centred there."""
    hops = int(len(x) / RATE / HOP_SECONDS) + 1
    padded = np.concatenate([np.zeros(window), x, np.zeros(window)])
    centres = (np.arange(hops) * HOP_SECONDS * RATE).astype(int) + window
    frames = padded[centres[:, None] + np.arange(-window // 2, window // 2)[None, :]] * np.hanning(window)
    power = np.abs(np.fft.rfft(frames, axis=1)) ** 2
    freq = np.fft.rfftfreq(window, 1 / RATE)
    out = np.empty((hops, KEY_COUNT))
    for i in range(KEY_COUNT):
        centre = 440 * 2 ** ((LOWEST_KEY + i - 69) / 12)
        near = (freq >= centre * 2 ** (-0.5 / 12)) & (freq < centre * 2 ** (0.5 / 12))
        out[:, i] = power[:, near].max(1) if near.any() else power[:, np.argmin(np.abs(freq - centre))]
    db = 10 * np.log10(out + 1e-12)
    return np.maximum(db - db.max(), FLOOR_DB)


def patches_of(levels, times, pitches):
    """The patches around proposals at these times (seconds) and pitches: (proposal, window, key, hop)."""
    hop = np.rint(np.asarray(times) / HOP_SECONDS).astype(int)[:, None] + np.arange(-HOPS_BEFORE, HOPS_AFTER + 1)
    key = np.asarray(pitches, int)[:, None] - LOWEST_KEY + np.arange(-KEYS_BELOW, KEYS_ABOVE + 1)
    out = np.full((len(hop), len(levels), key.shape[1], hop.shape[1]), FLOOR_DB, np.float32)
    for w, grid in enumerate(levels):
        h = np.clip(hop, 0, len(grid) - 1)
        k = np.clip(key, 0, KEY_COUNT - 1)
        inside = ((key >= 0) & (key < KEY_COUNT))[:, :, None] & ((hop >= 0) & (hop < len(grid)))[:, None, :]
        out[:, w] = np.where(inside, grid[h[:, None, :], k[:, :, None]], FLOOR_DB)
    return out


def write_patches(a, key):
    """Writes one rendering's patches around its proposals."""
    c = learn_add.read_candidates(os.path.join(a.out, key, "1.candidates.tsv"))
    rate, x = wavfile.read(os.path.join(learn_add.CORPUS, "audio", key + ".mono22050.wav"))
    if rate != RATE:
        sys.exit(f"{key}: {rate} Hz, not {RATE}")
    x = x.astype(float) / max(np.abs(x).max(), 1)
    strong = c["x"][:, 0] >= a.min_strength
    levels = [key_levels(x, w) for w in WINDOWS]
    np.savez_compressed(os.path.join(a.out, key, "patches.npz"),
                        patches=patches_of(levels, c["time"][strong], c["x"][strong, PITCH]))


def rows(a, key, c):
    """A file's patches as network inputs, and the labels of the proposals they lie around."""
    p = np.load(os.path.join(a.out, key, "patches.npz"))["patches"]
    strong = c["x"][:, 0] >= a.min_strength
    if len(p) != strong.sum():
        sys.exit(f"{key}: its patches are not those of its proposals; run `patches` again")
    return p.reshape(len(p), -1), c["y"][strong]


def fit_network(parts, rng, hidden=NETWORK["hidden_layer_sizes"]):
    """A network (hidden: its layers' sizes) fitted on the right rows of parts and WRONG_PER_RIGHT times
    as many wrong ones, and the mean and spread its inputs are scaled by."""
    x = np.concatenate([p[0] for p in parts])
    y = np.concatenate([p[1] for p in parts])
    right, wrong = np.where(y)[0], np.where(~y)[0]
    chosen = np.concatenate([right, rng.choice(wrong, min(len(wrong), WRONG_PER_RIGHT * len(right)), replace=False)])
    mean, spread = x[chosen].mean(0), x[chosen].std(0) + 1e-3
    network = MLPClassifier(**{**NETWORK, "hidden_layer_sizes": hidden})
    return network.fit((x[chosen] - mean) / spread, y[chosen]), mean, spread


def chances(network, x):
    """A fitted network's chances at the rows of x."""
    net, mean, spread = network
    return net.predict_proba((x - mean) / spread)[:, 1] if len(x) else np.zeros(0)


def out_of_fold(dev, folds, extra, judged, fitted_on, rng, hidden=NETWORK["hidden_layer_sizes"]):
    """Chances at the dev files of each fold in judged, from networks fitted on the dev files of the folds
    in fitted_on less that fold, and the extra files made of no development piece's music or of a piece
    of those folds."""
    out = {}
    for k in judged:
        use = [f for f in fitted_on if f != k]
        parts = [dev[i] for i in np.where(np.isin(folds, use))[0]] + [p for p, f in extra if f is None or f in use]
        network = fit_network(parts, rng, hidden)
        out.update({i: chances(network, dev[i][0]) for i in np.where(folds == k)[0]})
    return out


def full(c, strong_chances, min_strength):
    """A file's chances at every candidate (0 below min_strength)."""
    out = np.zeros(len(c["y"]))
    out[c["x"][:, 0] >= min_strength] = strong_chances
    return out


def report(name, files, chances_of, allowed, cuts):
    """Prints the mean F1 estimate at each cut of these chances."""
    cells = [f"{cut:.2f}: {learn_add.mean_f1(files, [(o >= cut) & ok for o, ok in zip(chances_of, allowed)]):.4f}"
             for cut in cuts]
    print(f"{name}: " + "  ".join(cells) + "  (out of fold)", flush=True)


def log_odds(p):
    """The log-odds of chances, kept finite."""
    p = np.clip(p, 1e-6, 1 - 1e-6)
    return np.log(p / (1 - p))


def fit(a):
    """Prints the out-of-fold estimates of the network alone, the trees, and the trees reading its chance."""
    todo = learn_add.keys(a)
    files = [learn_add.label(k, a.out) for k in todo]
    folds, fold_of = learn_add.piece_folds(todo, a.folds)
    dev = [rows(a, k, c) for k, c in zip(todo, files)]
    extra = [(rows(a, k, learn_add.label(k, a.out)), fold) for k, fold in learn_trees.extra_keys(a, fold_of)]
    allowed = [c["x"][:, 0] >= a.min_strength for c in files]
    rng = np.random.default_rng(0)
    every = list(range(a.folds))
    plain = out_of_fold(dev, folds, extra, every, every, rng, a.hidden)
    network = [full(c, plain[i], a.min_strength) for i, c in enumerate(files)]
    report("the network alone", files, network, allowed, (0.5, 0.7, 0.8, 0.9, 0.95, 0.97, 0.98))
    for variant in ("the trees", "the trees with the network's chance"):
        judged = [np.zeros(len(c["y"])) for c in files]
        for k in every:
            fitting = np.where(folds != k)[0]
            inner = (out_of_fold(dev, folds, extra, [f for f in every if f != k], [f for f in every if f != k], rng,
                                 a.hidden)
                     if a.nested and variant != "the trees" else plain)
            with_net = variant != "the trees"

            def inputs(i, chance):
                return np.hstack([files[i]["xt"], log_odds(full(files[i], chance, a.min_strength))[:, None]]) \
                    if with_net else files[i]["xt"]
            rest = [dict(x=files[i]["x"], xt=inputs(i, inner[i]), y=files[i]["y"]) for i in fitting]
            trees = learn_trees.fit_trees("add", rest, a.min_strength)
            for i in np.where(folds == k)[0]:
                if len(files[i]["y"]):
                    judged[i] = trees.predict_proba(inputs(i, plain[i]))[:, 1]
        report(variant, files, judged, allowed, (0.35, 0.40, 0.45, 0.50, 0.55, 0.60))


def main(argv):
    ap = learn_add.command_line()
    ap.add_argument("--min-strength", type=float, default=5.5, help="the weakest proposal judged (addStrength)")
    ap.add_argument("--also", choices=["train"], help="fit the networks on this split's patches too")
    ap.add_argument("--nested", action="store_true", help="the trees' network chances from within their folds")
    ap.add_argument("--hidden", type=lambda v: tuple(int(n) for n in v.split(",")),
                    default=NETWORK["hidden_layer_sizes"], help="the hidden layers' sizes, e.g. 256,64")
    ap.add_argument("-j", "--jobs", type=int, default=2)
    if not argv or argv[0] not in ("patches", "fit"):
        sys.exit(__doc__)
    a = ap.parse_args(["dump" if argv[0] == "patches" else "fit"] + argv[1:])
    learn_add.check_split(a, "learn_patch.py")
    if argv[0] == "patches":
        todo = learn_add.keys(a)
        with concurrent.futures.ProcessPoolExecutor(a.jobs) as pool:
            list(pool.map(write_patches, [a] * len(todo), todo))
    else:
        fit(a)


if __name__ == "__main__":
    main(sys.argv[1:])
