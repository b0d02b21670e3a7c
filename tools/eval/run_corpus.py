#!/usr/bin/python3
"""Transcribe the development corpus with the starter and with basic-pitch, and score both.

    run_corpus.py [--corpus DIR] [--work DIR] [--soundfont SF ...] [--config C ...]
              [--piece NAME ...] [--json FILE] [--markdown FILE] [--no-peer]

The corpus is rendered by tools/render/corpus.py into --corpus (NAME.mid, the
reference, and NAME.SF.wav, NAME.SF.mono22050.wav for each SoundFont SF).
For every piece, SoundFont and configuration the starter is run three times:

    raw        sonoscriptor --raw          the engine's notes as it wrote them
    refined    sonoscriptor                the default: attacks move, split, drop notes
    quantize   sonoscriptor --quantize     refined, then put back on the grid

Configurations: `beats` (the starter finds the beats itself, default options)
and `tempo` (the true beats are given with --tempo-map, a map of the quarter
notes as rendered). The raw run also keeps the engine's files
(--keep-engine-files WORK/keep-CONFIG/), which crossval.py refines again.
basic-pitch (tools/eval/basic_pitch.mjs on the 22050 Hz mono file) runs once
per piece and SoundFont; its output is kept and reused.

Every output is scored against the reference with the shared scorer's
figures (50 ms onset tolerance): onset F1 as it stands and after the best
constant time shift. The starter's file begins at the first beat it placed,
not at the start of the recording, so the shifted figure is the one the
tables use, for every system alike (basic-pitch's best shift is about 0).
"""
import argparse
import concurrent.futures
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tools", "render"))
sys.path.insert(0, HERE)
import corpus as pieces_corpus  # noqa: E402  (tools/render/corpus.py)
from evaluate import SCORE_PY  # noqa: E402

sys.path.insert(0, os.path.dirname(SCORE_PY))
from midinotes import read_notes  # noqa: E402
from score import score  # noqa: E402

STARTER = os.path.join(ROOT, "build", "sonoscriptor")
PEER = os.path.join(HERE, "basic_pitch.mjs")
VARIANTS = {"raw": ["--raw"], "refined": [], "quantize": ["--quantize"]}
CONFIGS = ("beats", "tempo")
SYSTEMS = ("raw", "refined", "quantize", "peer")


TEMPO_MAP_END = 65535


def write_tempo_map(path, lengths_ms):
    """Writes a tempo map for --tempo-map: 16-bit little-endian ms per beat, 65535 ends."""
    lengths_ms = list(lengths_ms)
    if not all(0 < ms < TEMPO_MAP_END for ms in lengths_ms):
        raise ValueError(f"{path}: a beat outside 1..{TEMPO_MAP_END - 1} ms")
    with open(path, "wb") as f:
        for ms in lengths_ms + [TEMPO_MAP_END]:
            f.write(int(ms).to_bytes(2, "little"))
    return path


def true_beats(name, path):
    """Writes the quarter-note beats of a piece as a tempo map."""
    lengths = [round(1000 * 60 / bpm) for bpm in pieces_corpus.PIECES[name][0]().reference()["tempi"]]
    return write_tempo_map(path, lengths)


def quarter_metre(num, den):
    """--time-signature for a tempo map that counts quarter notes: the bar in quarters
    (6/8 as 3/4, 2/2 as 4/4); none (4/4) for a bar that is no whole number of them."""
    return ["--time-signature", f"{num * 4 // den}/4"] if (num * 4) % den == 0 else []


def metre_option(name):
    """--time-signature for the true-tempo runs of a piece."""
    return quarter_metre(*pieces_corpus.PIECES[name][0]().metre)


def starter_command(args, name, sf, config, variant):
    """The command line of one starter run and the output it writes."""
    wav = os.path.join(args.corpus, f"{name}.{sf}.wav")
    out = os.path.join(args.work, f"{name}.{sf}.{config}.{variant}.mid")
    cmd = [args.starter, "-q", "--force", "-o", out] + VARIANTS[variant]
    if config == "tempo":
        cmd += ["--tempo-map", true_beats(name, os.path.join(args.work, f"{name}.beats.bin"))]
        cmd += metre_option(name)
    if variant == "raw":
        keep = os.path.join(args.work, f"keep-{config}")
        os.makedirs(keep, exist_ok=True)
        cmd += ["--keep-engine-files", keep]
    return cmd + [wav], out


def peer_command(args, name, sf):
    out = os.path.join(args.work, f"{name}.{sf}.peer.mid")
    wav = os.path.join(args.corpus, f"{name}.{sf}.mono22050.wav")
    return ["node", PEER, wav, out], out


def run(cmd, out, reuse=False):
    """Runs a command unless reuse and its output exists; returns (output or None, seconds, message)."""
    if reuse and os.path.exists(out):
        return out, 0.0, "kept"
    start = time.monotonic()
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True)
    except OSError as e:
        return None, 0.0, str(e)
    seconds = time.monotonic() - start
    if proc.returncode != 0 or not os.path.exists(out):
        return None, seconds, (proc.stderr.strip() or proc.stdout.strip())[-500:]
    return out, seconds, ""


def figures(ref, est):
    """The scorer's figures for one output (zero for a failed run)."""
    if est is None:
        return {"onset_f1": 0.0, "onset_f1_shifted": 0.0, "best_shift_s": None}
    s = score(read_notes(ref), read_notes(est, skip_percussion=False))
    return {k: s[k] for k in ("n_ref", "n_est", "onset_p", "onset_r", "onset_f1", "best_shift_s",
                              "onset_p_shifted", "onset_r_shifted", "onset_f1_shifted")}


def jobs(args):
    """Every run to do: (key, command, output, reuse)."""
    todo = []
    for name in args.piece:
        for sf in args.soundfont:
            if not args.no_peer:
                cmd, out = peer_command(args, name, sf)
                todo.append(((name, sf, "-", "peer"), cmd, out, True))
            for config in args.config:
                for variant in VARIANTS:
                    cmd, out = starter_command(args, name, sf, config, variant)
                    todo.append(((name, sf, config, variant), cmd, out, False))
    return todo


def run_all(args):
    """Runs and scores everything, two at a time; returns the list of result rows."""
    rows = []

    def one(job):
        key, cmd, out, reuse = job
        got, seconds, message = run(cmd, out, reuse)
        ref = os.path.join(args.corpus, key[0] + ".mid")
        row = dict(zip(("piece", "soundfont", "config", "system"), key), seconds=round(seconds, 2),
                   error=message if got is None else "", command=" ".join(cmd))
        row.update(figures(ref, got))
        return row
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        for row in pool.map(one, jobs(args)):
            if row["error"]:
                print(f"{row['piece']} {row['soundfont']} {row['config']} {row['system']}: {row['error']}",
                      file=sys.stderr)
            rows.append(row)
    return rows


def lookup(rows, name, sf, config, system):
    for r in rows:
        if (r["piece"], r["soundfont"], r["system"]) == (name, sf, system) and \
                (system == "peer" or r["config"] == config):
            return r
    return None


def table(rows, sf, config, key="onset_f1_shifted"):
    """A Markdown table: one row per piece, one column per system, and the mean."""
    names = list(dict.fromkeys(r["piece"] for r in rows))
    head = ["piece", "group", "engine (--raw)", "refined", "refined --quantize", "basic-pitch"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    sums = {s: [] for s in SYSTEMS}
    for name in names:
        cells = [f"`{name}`", pieces_corpus.PIECES[name][1]]
        for system in SYSTEMS:
            r = lookup(rows, name, sf, config, system)
            cells.append("–" if r is None else f"{r[key]:.3f}")
            if r is not None:
                sums[system].append(r[key])
        lines.append("| " + " | ".join(cells) + " |")
    means = [f"**{sum(v) / len(v):.3f}**" if v else "–" for v in sums.values()]
    lines.append("| **mean** | | " + " | ".join(means) + " |")
    return "\n".join(lines)


def parse_args(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[1])
    ap.add_argument("--corpus", default="/tmp/sonoscriptor-corpus",
                    help="rendered corpus (tools/render/corpus.py OUTDIR); default %(default)s")
    ap.add_argument("--work", default="/tmp/sonoscriptor-corpus/eval", help="outputs; default %(default)s")
    ap.add_argument("--starter", default=STARTER, help="default %(default)s")
    ap.add_argument("--soundfont", action="append", choices=list(pieces_corpus.SOUNDFONTS))
    ap.add_argument("--config", action="append", choices=CONFIGS)
    ap.add_argument("--piece", action="append", choices=list(pieces_corpus.PIECES))
    ap.add_argument("--no-peer", action="store_true", help="skip basic-pitch")
    ap.add_argument("-j", "--jobs", type=int, default=2, help="runs at once (default 2)")
    ap.add_argument("--json", help="write every row to this file")
    ap.add_argument("--markdown", help="write the tables to this file")
    a = ap.parse_args(argv)
    a.soundfont = a.soundfont or list(pieces_corpus.SOUNDFONTS)
    a.config = a.config or list(CONFIGS)
    a.piece = a.piece or list(pieces_corpus.PIECES)
    a.corpus, a.work = os.path.abspath(a.corpus), os.path.abspath(a.work)
    os.makedirs(a.work, exist_ok=True)
    return a


def markdown(rows, args):
    titles = {"beats": "the starter's own beat finding (default options)",
              "tempo": "the true beats given (--tempo-map)"}
    parts = []
    for sf in args.soundfont:
        for config in args.config:
            parts.append(f"### {sf} SoundFont, {titles[config]}\n\n"
                         f"Onset F1 (50 ms) after the best constant shift.\n\n{table(rows, sf, config)}\n")
    return "\n".join(parts)


def main(argv):
    args = parse_args(argv)
    start = time.monotonic()
    rows = run_all(args)
    text = markdown(rows, args)
    print(text)
    print(f"{len(rows)} runs in {time.monotonic() - start:.0f} s", file=sys.stderr)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(rows, f, indent=1)
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write(text)
    return 0 if all(not r["error"] for r in rows) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
