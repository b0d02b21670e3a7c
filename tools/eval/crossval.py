#!/usr/bin/python3
"""Choose the refinement thresholds by two-fold cross-validation on the corpus.

    crossval.py [--corpus DIR] [--work DIR] [--passes N] [--json FILE] [--markdown FILE]

Needs the corpus rendered (tools/render/corpus.py DIR) and run_corpus.py run
on it with the same --work folder: its raw runs keep the engine's files
(WORK/keep-CONFIG/NAME.SF.{engine.mid,settings.txt,tempo.bin}) and its
basic-pitch outputs (WORK/NAME.SF.peer.mid). Missing engine files are made
here with the starter.

The training SoundFont's pieces are split into two folds, alternating within
each instrument group. For each fold the thresholds are chosen on the other
fold by coordinate descent: starting from the built-in defaults, each
threshold in turn takes the value of GRID that gives the highest mean onset
F1 (50 ms, after the best constant shift, as score.py computes it) over the
training pieces, with the starter's own beat finding; a tie keeps the
current value; the passes stop early when nothing changes. The held fold is
then scored with those thresholds: these are the cross-validated figures.
The same search on all pieces gives the final defaults, which are then
scored on the held-out SoundFont without any further choice.

Every evaluation goes through `sonoscriptor-refine`, which computes the
attack evidence of a recording once and refines the engine's notes with
each parameter set of a file, one set a line.
"""
import argparse
import concurrent.futures
import json
import os
import subprocess
import sys
import time
import warnings

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import run_corpus  # noqa: E402
from run_corpus import pieces_corpus, read_notes  # noqa: E402
import score as scorer  # noqa: E402  (the shared scorer, on the path run_corpus set)

REFINE = os.path.join(run_corpus.ROOT, "build", "sonoscriptor-refine")
TRAIN_SF, HELD_SF = "fluid", "musescore"

# The values each threshold may take in the search (names as in RefineThresholds).
GRID = {
    "attackLatency": [0.0, 0.006, 0.012, 0.02, 0.03, 0.04],
    "nearWindow": [0.03, 0.05, 0.07],
    "nearStrength": [3.0, 4.0, 5.0, 6.0, 8.0],
    "moveBefore": [2.0, 3.0, 4.0],
    "moveAfter": [0.5, 0.75, 1.0, 1.5],
    "moveStrength": [2.0, 3.0, 4.0, 6.0],
    "ownFundamental": [1.0, 2.0, 3.0],
    "dropStrength": [2.5, 3.5, 4.5, 6.0],
    "dropLevel": [-25.0, -20.0, -15.0, -10.0],
    "partnerWindow": [0.04, 0.06],
    "partnerStrength": [1.0, 2.0, 3.0, 4.0],
    "splitStrength": [2.5, 4.0, 5.0, 6.0, 8.0],
    "splitAfter": [0.8, 1.0, 1.5, 2.0],
    "splitGap": [0.05, 0.08, 0.12],
}


def defaults(refine):
    """The tool's built-in thresholds: NAME -> value, from --list-params."""
    out = subprocess.run([refine, "--list-params"], capture_output=True, text=True, check=True).stdout
    return {k: float(v) for k, _, v in (line.strip().partition("=") for line in out.splitlines() if "=" in line)}


def onset_f1_shifted(ref_notes, est_path):
    """Onset F1 after the best constant shift, computed as score.py computes it."""
    est = read_notes(est_path, skip_percussion=False)
    ref_iv, ref_p = scorer.as_arrays(ref_notes)
    est_iv, est_p = scorer.as_arrays(est)
    if len(est_iv) == 0:
        return 0.0
    shift, _ = scorer.best_shift(ref_iv, ref_p, est_iv, est_p)
    base = max(0.0, -shift)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return scorer.note_prf(ref_iv + base, ref_p, est_iv + shift + base, est_p, None)[2]


class Runs:
    """Refines kept engine files with parameter sets and remembers every score."""

    def __init__(self, args):
        self.args = args
        self.cache = {}
        self.calls = 0
        self.pool = concurrent.futures.ProcessPoolExecutor(args.jobs)

    def keep(self, name, sf, config):
        """Paths of the kept engine files of one rendering; made with the starter when missing."""
        base = os.path.join(self.args.work, f"keep-{config}", f"{name}.{sf}")
        if not os.path.exists(base + ".engine.mid"):
            cmd, out = run_corpus.starter_command(self.args, name, sf, config, "raw")
            subprocess.run(cmd, capture_output=True, check=True)
        return base

    def scores(self, items, sets, quantize=False):
        """Mean-ready scores: {(name, sf, config): [F1 per set]} for items (name, sf, config)."""
        todo = {}
        for item in items:
            missing = [s for s in sets if self.key(item, s, quantize) not in self.cache]
            if missing:
                todo[item] = missing
        jobs = {self.pool.submit(refine_and_score, self.args.refine, self.keep(*item),
                                 os.path.join(self.args.corpus, item[0] + ".mid"),
                                 os.path.join(self.args.corpus, f"{item[0]}.{item[1]}.wav"),
                                 self.outdir(item, quantize), sets_, quantize): (item, sets_)
                for item, sets_ in todo.items()}
        for job in concurrent.futures.as_completed(jobs):
            item, sets_ = jobs[job]
            self.calls += 1
            for s, f in zip(sets_, job.result()):
                self.cache[self.key(item, s, quantize)] = f
        return {item: [self.cache[self.key(item, s, quantize)] for s in sets] for item in items}

    def key(self, item, params, quantize):
        return item, tuple(sorted(params.items())), quantize

    def outdir(self, item, quantize):
        self.calls_dir = getattr(self, "calls_dir", 0) + 1
        return os.path.join(self.args.work, f"refine-{os.getpid()}", ".".join(item) + (".q" if quantize else "") +
                            f".{self.calls_dir}")


def refine_and_score(refine, keep, ref, wav, outdir, sets, quantize):
    """Runs the refinement tool once for all parameter sets; the onset F1 of each output."""
    os.makedirs(outdir, exist_ok=True)
    params = os.path.join(outdir, "params.txt")
    with open(params, "w") as f:
        for s in sets:
            f.write(" ".join(f"{k}={v:g}" for k, v in sorted(s.items())) + "\n")
    cmd = [refine, wav, keep + ".engine.mid", outdir, "--settings", keep + ".settings.txt",
           "--params", params]
    if os.path.exists(keep + ".tempo.bin") and os.path.getsize(keep + ".tempo.bin") > 0:
        cmd += ["--tempo-map", keep + ".tempo.bin"]
    if quantize:
        cmd.append("--quantize")
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"{' '.join(cmd)}: {proc.stderr.strip()[-400:]}")
    ref_notes = read_notes(ref)
    return [onset_f1_shifted(ref_notes, os.path.join(outdir, f"{i}.mid")) for i in range(len(sets))]


def search(runs, names, start, passes, log):
    """Coordinate descent over GRID on the pieces (training SoundFont, own beats)."""
    items = [(n, TRAIN_SF, "beats") for n in names]
    current = dict(start)

    def mean(sets):
        got = runs.scores(items, sets)
        return [float(np.mean([got[i][j] for i in items])) for j in range(len(sets))]
    best = mean([current])[0]
    log(f"  start {best:.4f} on {len(names)} pieces")
    for p in range(passes):
        changed = False
        for name, values in GRID.items():
            if name not in current:
                continue
            sets = [dict(current, **{name: v}) for v in values]
            figures = mean(sets)
            top = max(range(len(values)), key=lambda i: (round(figures[i], 6), values[i] == current[name]))
            if round(figures[top], 6) > round(best, 6):
                log(f"  pass {p + 1}: {name} {current[name]:g} -> {values[top]:g}: {best:.4f} -> {figures[top]:.4f}")
                current[name], best, changed = values[top], figures[top], True
        if not changed:
            break
    return current, best


def folds(names):
    """Two folds, alternating within each instrument group (groups in corpus order)."""
    groups = {}
    for n in names:
        groups.setdefault(pieces_corpus.PIECES[n][1], []).append(n)
    out, turn = ([], []), 0
    for members in groups.values():
        for n in members:
            out[turn].append(n)
            turn = 1 - turn
    return out


def peer_f1(args, name, sf):
    path = os.path.join(args.work, f"{name}.{sf}.peer.mid")
    if not os.path.exists(path):
        return None
    return onset_f1_shifted(read_notes(os.path.join(args.corpus, name + ".mid")), path)


def raw_f1(runs, name, sf, config):
    return onset_f1_shifted(read_notes(os.path.join(runs.args.corpus, name + ".mid")),
                            runs.keep(name, sf, config) + ".engine.mid")


def parse_args(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[1])
    ap.add_argument("--corpus", default="/tmp/sonoscriptor-corpus")
    ap.add_argument("--work", default="/tmp/sonoscriptor-corpus/eval")
    ap.add_argument("--refine", default=REFINE)
    ap.add_argument("--starter", default=run_corpus.STARTER)
    ap.add_argument("--passes", type=int, default=3)
    ap.add_argument("-j", "--jobs", type=int, default=2)
    ap.add_argument("--json")
    ap.add_argument("--markdown")
    ap.add_argument("--reuse", metavar="JSON",
                    help="take the thresholds (built-in, per fold, final) from an earlier --json file and only "
                         "score: for other peer outputs or a rebuilt tool")
    ap.add_argument("--write-header", metavar="FILE",
                    help="set the final thresholds as the defaults in FILE (app/starter/refine/thresholds.h)")
    a = ap.parse_args(argv)
    a.corpus, a.work = os.path.abspath(a.corpus), os.path.abspath(a.work)
    return a


def row_table(rows, columns):
    """Markdown: one row per piece (dicts with 'piece', 'group', 'fold' and the columns), then the means."""
    head = ["piece", "group", "fold"] + [title for title, _ in columns]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for r in rows:
        cells = [f"`{r['piece']}`", r["group"], r["fold"]]
        cells += ["–" if r.get(key) is None else f"{r[key]:.3f}" for _, key in columns]
        lines.append("| " + " | ".join(cells) + " |")
    means = []
    for _, key in columns:
        values = [r[key] for r in rows if r.get(key) is not None]
        means.append(f"**{np.mean(values):.3f}**" if values else "–")
    lines.append("| **mean** | | | " + " | ".join(means) + " |")
    return "\n".join(lines)


def thresholds_table(base, chosen):
    """Markdown: every searched threshold, its built-in value and the value each search chose."""
    head = ["threshold", "built in"] + list(chosen)
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for name in GRID:
        if name in base:
            lines.append(f"| `{name}` | {base[name]:g} | " + " | ".join(f"{c[name]:g}" for c in chosen.values()) + " |")
    return "\n".join(lines)


def score_rows(runs, names, fold_of, sf, config, params_of):
    """Per piece: raw, refined and quantized with the piece's thresholds, and the peer."""
    rows = []
    for n in names:
        params = params_of(n)
        item = (n, sf, config)
        rows.append({"piece": n, "group": pieces_corpus.PIECES[n][1], "fold": fold_of.get(n, "–"),
                     "raw": raw_f1(runs, *item), "refined": runs.scores([item], [params])[item][0],
                     "quantize": runs.scores([item], [params], quantize=True)[item][0],
                     "peer": peer_f1(runs.args, n, sf)})
    return rows


def write_header(path, params):
    """Sets the default value of every chosen threshold in the thresholds header:
    only the number changes (written like 8.0 or 0.02), the comments stay in their column."""
    import re
    text = open(path).read()
    for name, value in params.items():
        number = f"{value:g}" if "." in f"{value:g}" else f"{value:.1f}"

        def put(m):
            width = len(m.group(2)) + len(m.group(3))
            return f"{m.group(1)}{number};{' ' * max(1, width - len(number))}"
        text, n = re.subn(rf"(double {name} = )([-0-9.e]+);( *)", put, text)
        if n != 1:
            raise ValueError(f"{path}: no single default for {name}")
    with open(path, "w") as f:
        f.write(text)


def main(argv):
    args = parse_args(argv)
    start = time.monotonic()
    log = lambda text: print(text, file=sys.stderr, flush=True)
    runs = Runs(args)
    base = defaults(args.refine)
    names = list(pieces_corpus.PIECES)
    fold = folds(names)
    fold_of = {n: "AB"[i] for i in range(2) for n in fold[i]}
    chosen = {}
    if args.reuse:
        with open(args.reuse) as f:
            earlier = json.load(f)
        chosen, in_sample = earlier["chosen"], None
        base = earlier["defaults"]
        log(f"thresholds of {args.reuse}; no search")
    else:
        for i in range(2):
            log(f"fold {'AB'[i]} held out; choosing on {', '.join(fold[1 - i])}")
            chosen[f"chosen without fold {'AB'[i]}"], _ = search(runs, fold[1 - i], base, args.passes, log)
        log("all pieces")
        chosen["final (all pieces)"], in_sample = search(runs, names, base, args.passes, log)
    final = chosen["final (all pieces)"]
    cv = lambda n: chosen[f"chosen without fold {fold_of[n]}"]
    columns = [("engine (--raw)", "raw"), ("refined", "refined"), ("refined --quantize", "quantize"),
               ("basic-pitch", "peer")]
    result = {"defaults": base, "chosen": chosen, "folds": fold, "in_sample_mean": in_sample, "tables": {}}
    parts = []
    titles = {"beats": "the starter's own beat finding", "tempo": "the true beats given (--tempo-map)"}
    for config in ("beats", "tempo"):
        rows = score_rows(runs, names, fold_of, TRAIN_SF, config, cv)
        result["tables"][f"{TRAIN_SF}.{config}.cv"] = rows
        parts.append(f"### Training SoundFont (FluidR3_GM), {titles[config]}: cross-validated\n\n"
                     f"Each piece refined with the thresholds chosen on the other fold.\n\n"
                     f"{row_table(rows, columns)}\n")
    for config in ("beats", "tempo"):
        rows = score_rows(runs, names, {}, HELD_SF, config, lambda n: final)
        result["tables"][f"{HELD_SF}.{config}.final"] = rows
        parts.append(f"### Held-out SoundFont (MuseScore_General), {titles[config]}\n\n"
                     f"Refined with the final thresholds (chosen on all FluidR3_GM pieces).\n\n"
                     f"{row_table(rows, columns)}\n")
    parts.append("### Thresholds\n\n" + thresholds_table(base, chosen) + "\n")
    text = "\n".join(parts)
    print(text)
    log(f"{runs.calls} refinement runs, {len(runs.cache)} scores, {time.monotonic() - start:.0f} s")
    result["seconds"] = round(time.monotonic() - start, 1)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(result, f, indent=1)
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write(text)
    if args.write_header:
        write_header(args.write_header, {k: v for k, v in final.items() if k in GRID})
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
