#!/usr/bin/python3
"""Boosted trees in place of the refinement's logistic models: the acceptance of the notes the proposal
rule looks at (add), the judgement of the engine's own notes (drop), and the soft re-strikes (restrike).

    learn_trees.py add|drop|restrike fit --out DIR --soundfont SF --room ROOM ...
    learn_trees.py add|drop|restrike write --out DIR --soundfont SF --room ROOM ... [--without-fold K] [--check]
    (either with --also train: the training pieces' dumps join every fit, and are never judged; one
    made of a development piece's music, its origin in the manifest, stays out of that piece's fold)

Each reads what `learn_add.py dump` (add), `learn_drop.py dump` (drop) or `learn_restrike.py dump`
(restrike) left in DIR, labelled as those scripts label it. `fit` fits gradient-boosted trees
(scikit-learn's HistGradientBoostingClassifier, Debian python3-sklearn) cross-validated by piece with
the same folds, and prints the out-of-fold mean F1 estimate at each cut beside the logistic model's
(add, drop) or the hand-set rule's (restrike). The trees of add and drop read the logistic model's
inputs and the partial profile around the key (learn_add.PROFILE); those of restrike every column of
the listing, the rule's measures and the same profile. `write` fits a model's trees on
every development piece (or on all but fold K, for an out-of-fold build of the tool) and writes them
as app/starter/refine/learned_MODEL_trees.inc holds them; --check prints the
largest difference between the chances of the trees as written, walked as the starter walks them, and
scikit-learn's own.
"""
import argparse
import json
import os
import sys

import numpy as np
from sklearn.ensemble import HistGradientBoostingClassifier

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import learn_add  # noqa: E402
import learn_drop  # noqa: E402
import learn_restrike  # noqa: E402

# Chosen on the development half by the acceptance's out-of-fold estimate: 300 trees of depth 4 gave
# 0.7788, 400 of depth 5 0.7790 with twice the nodes, 100 of depth 4 0.7773, depth 2 (pairs of inputs)
# 0.7747, the logistic model 0.7745 (docs/methods.md).
PARAMS = dict(max_iter=300, max_depth=4, learning_rate=0.05, min_samples_leaf=100, l2_regularization=1.0,
              early_stopping=False, random_state=0)
REFINE = os.path.join(os.path.dirname(os.path.dirname(HERE)), "app", "starter", "refine")
# What each model's trees are called in the starter, and where they are kept.
NAMES = {"add": ("Add", "the acceptance's"), "drop": ("Drop", "the drop model's"),
         "restrike": ("Restrike", "the re-strike model's")}


def inputs(c):
    """What the trees read of a file's rows: the logistic model's inputs and the partial profile (add,
    drop), or every input the re-strike rule listed, its measures and the partial profile (restrike)."""
    return c.get("xt", c["x"])


def rows_of(model, files, min_strength):
    """The inputs and labels a model is fitted on: the acceptance's candidates at least min_strength
    strong, every judged note of the drop model."""
    x = np.concatenate([inputs(c) for c in files])
    y = np.concatenate([c["y"] for c in files])
    keep = x[:, 0] >= min_strength if model == "add" else np.ones(len(y), bool)
    return x[keep], y[keep]


def fit_trees(model, files, min_strength):
    return HistGradientBoostingClassifier(**PARAMS).fit(*rows_of(model, files, min_strength))


def flat_nodes(trees):
    """Every tree's nodes in one list (input, threshold or leaf value, left, right; left 0 on a leaf),
    the children counted from the first node of the first tree; each tree's root; the baseline."""
    nodes, roots = [], []
    for (predictor,) in trees._predictors:
        base = len(nodes)
        roots.append(base)
        for n in predictor.nodes:
            nodes.append((0, float(n["value"]), 0, 0) if n["is_leaf"] else
                         (int(n["feature_idx"]), float(n["num_threshold"]), base + int(n["left"]),
                          base + int(n["right"])))
    return nodes, roots, float(np.ravel(trees._baseline_prediction)[0])


def walk(nodes, roots, baseline, x):
    """The chances of the written trees at the rows of x, walked as learned.cpp walks them."""
    out = np.empty(len(x))
    for r, row in enumerate(x):
        z = baseline
        for i in roots:
            while nodes[i][2]:
                i = nodes[i][2] if row[nodes[i][0]] <= nodes[i][1] else nodes[i][3]
            z += nodes[i][1]
        out[r] = 1 / (1 + np.exp(-z))
    return out


def write_inc(model, path, nodes, roots, baseline, fitted_on):
    if len(nodes) > 65535:
        sys.exit("too many nodes for the 16-bit children")
    name, whose = NAMES[model]
    with open(path, "w") as f:
        f.write(f"// Written by tools/eval/learn_trees.py {model} write (do not edit): {whose} boosted trees,\n"
                f"// fitted on {fitted_on}. Each node: input, threshold (a leaf: its value), left\n"
                "// and right child (0 on a leaf), the children counted from the first tree's root.\n")
        f.write(f"constexpr double {name}TreesBaseline = {baseline!r};\n")
        f.write(f"constexpr TreeNode {name}TreeNodes[] = {{\n")
        f.writelines(f"    {{{n[0]}, {n[1]!r}, {n[2]}, {n[3]}}},\n" for n in nodes)
        f.write(f"}};\nconstexpr std::uint16_t {name}TreeRoots[] = {{\n")
        f.writelines("    " + ", ".join(str(r) for r in roots[i:i + 12]) + ",\n" for i in range(0, len(roots), 12))
        f.write("};\n")


def extra_keys(a, fold_of):
    """The --also split's renderings, each with the fold of the development piece it was made of (None)."""
    if not a.also:
        return []
    with open(os.path.join(learn_add.CORPUS, "manifest.json")) as f:
        origin = {p["name"]: p.get("origin") for p in json.load(f)["pieces"]}
    todo = learn_add.keys(argparse.Namespace(**{**vars(a), "split": a.also}))
    return [(k, fold_of.get(origin.get(k.split(".")[0]))) for k in todo]


def extra_files(a, model, fold_of):
    """The --also split's files, each with the fold of the development piece it was made of (None)."""
    label = {"add": learn_add.label, "drop": learn_drop.label, "restrike": learn_restrike.label}[model]
    return [(label(k, a.out), fold) for k, fold in extra_keys(a, fold_of)]


def outside(extra, k):
    """The extra files that may join a fit judged on fold k."""
    return [c for c, fold in extra if k is None or fold != k]


def restrike_report(files, folds, count, extra):
    """Out-of-fold chances of the re-strike trees, and the estimate at each cut beside the rule's."""
    oof = [np.zeros(len(c["y"])) for c in files]
    for k in range(count):
        trees = fit_trees("restrike", [c for c, f in zip(files, folds) if f != k] + outside(extra, k), 0)
        for i in np.where(folds == k)[0]:
            if len(files[i]["y"]):
                oof[i] = trees.predict_proba(inputs(files[i]))[:, 1]
    today = [c["taken"] for c in files]
    f1 = learn_restrike.mean_f1
    print(f"{len(files)} files, {sum(len(c['y']) for c in files)} candidates, "
          f"{sum(c['y'].sum() for c in files)} right; without re-strikes: mean F1 "
          f"{f1(files, [np.zeros_like(t) for t in today]):.4f}; the rule (in sample): {f1(files, today):.4f}")
    for cut in np.arange(0.30, 0.601, 0.05):
        alone = [o >= cut for o in oof]
        both = [(o >= cut) | t for o, t in zip(oof, today)]
        print(f"cut {cut:.2f}: trees {f1(files, alone):.4f}  the rule or the trees {f1(files, both):.4f}"
              "  (out of fold)")


def oof_report(model, a, files, folds, extra):
    """Out-of-fold chances of the logistic model and the trees (each fold's fit joined by the extra
    files), and the estimate at each cut."""
    if model == "restrike":
        return restrike_report(files, folds, a.folds, extra)
    lib = learn_add if model == "add" else learn_drop
    oofl = [np.ones(len(c["y"])) for c in files]
    ooft = [np.ones(len(c["y"])) for c in files]
    for k in range(a.folds):
        rest = [c for c, f in zip(files, folds) if f != k] + outside(extra, k)
        w, b = learn_add.fit_on(a, rest) if model == "add" else learn_drop.fit_on(a, rest)
        trees = fit_trees(model, rest, a.min_strength)
        for i in np.where(folds == k)[0]:
            if len(files[i]["y"]):
                oofl[i] = lib.prob(files[i]["x"], w, b)
                ooft[i] = trees.predict_proba(inputs(files[i]))[:, 1]
    if model == "add":
        allowed = [c["x"][:, 0] >= a.min_strength for c in files]
        today = [c["taken"] for c in files]
        decide = [lambda o, cut, i: (o >= cut) & allowed[i]]
    else:
        today = [c["kept"] for c in files]
        decide = [lambda o, cut, i: o >= cut, lambda o, cut, i: (o >= cut) & today[i]]
    print(f"{len(files)} files; today (in sample): mean F1 {lib.mean_f1(files, today):.4f}")
    for cut in np.arange(0.10 if model == "drop" else 0.30, 0.601, 0.05):
        cells = []
        for name, oof in (("logistic", oofl), ("trees", ooft)):
            for j, d in enumerate(decide):
                chosen = [d(o, cut, i) for i, o in enumerate(oof)]
                cells.append(f"{name}{' after the rules' if j else ''} {lib.mean_f1(files, chosen):.4f}")
        print(f"cut {cut:.2f}: " + "  ".join(cells) + "  (out of fold)")


def main(argv):
    if len(argv) < 2 or argv[0] not in ("add", "drop", "restrike") or argv[1] not in ("fit", "write"):
        sys.exit(__doc__)
    model, what = argv[0], argv[1]
    ap = learn_add.command_line()
    ap.add_argument("--min-strength", type=float, default=5.5, help="add: the weakest candidate fitted")
    ap.add_argument("--without-fold", type=int)
    ap.add_argument("--inc")
    ap.add_argument("--check", action="store_true")
    ap.add_argument("--also", choices=["train"], help="fit on this split's dumps too (never judged)")
    ap.add_argument("-j", "--jobs", type=int, default=2)
    a = ap.parse_args(["fit"] + argv[2:])
    if model == "drop" and "--l2" not in argv:
        a.l2 = 30  # the drop model's logistic fit (learned.cpp)
    if a.split != "dev" or (what == "write" and model not in NAMES):
        sys.exit("learn_trees.py fits on the development half only")
    a.inc = a.inc or os.path.join(REFINE, f"learned_{model}_trees.inc")
    todo = learn_add.keys(a)
    label = {"add": learn_add.label, "drop": learn_drop.label, "restrike": learn_restrike.label}[model]
    files = [label(k, a.out) for k in todo]
    folds, fold_of = learn_add.piece_folds(todo, a.folds)
    extra = extra_files(a, model, fold_of)
    if what == "fit":
        oof_report(model, a, files, folds, extra)
        return 0
    keep = [c for c, f in zip(files, folds) if f != a.without_fold]
    trees = fit_trees(model, keep + outside(extra, a.without_fold), a.min_strength)
    nodes, roots, baseline = flat_nodes(trees)
    fitted_on = "every development piece" if a.without_fold is None else \
        f"the development pieces less fold {a.without_fold} of {a.folds} (an out-of-fold build)"
    write_inc(model, a.inc, nodes, roots, baseline, fitted_on + (" and the training pieces" if extra else ""))
    print(f"{len(roots)} trees, {len(nodes)} nodes -> {a.inc}")
    if a.check:
        x = rows_of(model, files, a.min_strength)[0][:20000]
        print(f"largest difference from scikit-learn's chances: "
              f"{np.abs(walk(nodes, roots, baseline, x) - trees.predict_proba(x)[:, 1]).max():.2e}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
