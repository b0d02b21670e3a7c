#!/usr/bin/python3
"""Run the engine on rendered pieces and score its MIDI output against the references.

    evaluate.py --engine PATH [--set Key=Value ...] [--starter PATH] REF.mid AUDIO.wav [REF2.mid AUDIO2.wav ...]

For every pair the engine is started the way the front-end starts it: a
settings file (WaveFile= and MidiFile= with absolute paths, then the --set
pairs in order) and a status file holding 0 are written, and the command
`ENGINE SETTINGS STATUS +` is run; exit code 0 means success. The output
MIDI is then compared with the reference:

  grid metric   a reference note is found when an output note of the same
                pitch has its onset within one grid step of the reference
                onset, after the best constant time shift (searched in 10 ms
                steps over +-4 s; the engine drops whole bars of leading
                silence); notes are matched one to one. The grid step is
                --grid-seconds, or by default 48 ticks (an eighth note with
                the default settings) at the output file's own division and
                tempo.
  score.py      the figures of the shared scorer (50 ms onset tolerance),
                run as `score.py REF OUT --max-shift 4`.

One table row per piece and a total row are printed; --json writes all
figures to a file. The exit code is 0 when every engine run succeeded.
"""
import argparse
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile
import time

import mido
import numpy as np

SCORE_PY = "/work/shared/tools/score.py"
PYTHON = "/usr/bin/python3"
GRID_TICKS = 48
DEFAULT_TEMPO = 500000          # microseconds per quarter note when a file names none


# ---------------------------------------------------------------- MIDI reading

def read_notes(path):
    """Notes of a MIDI file as (onset seconds, pitch) pairs, every track and
    channel merged, following tempo changes. A note-on with velocity 0 is a
    note-off; overlapping strikes of one key close oldest first."""
    mid = mido.MidiFile(path)
    now = 0.0
    notes = []
    for msg in mid:               # merged, delta times in seconds
        now += msg.time
        if msg.type == "note_on" and msg.velocity > 0:
            notes.append((now, msg.note))
    notes.sort()
    return notes


def midi_timing(path):
    """(ticks per quarter note, first tempo in microseconds, time signature
    (numerator, denominator) or None)."""
    mid = mido.MidiFile(path)
    tempo, metre = None, None
    for track in mid.tracks:
        tick = 0
        for msg in track:
            tick += msg.time
            if msg.type == "set_tempo" and tempo is None:
                tempo = msg.tempo
            elif msg.type == "time_signature" and metre is None:
                metre = (msg.numerator, msg.denominator)
    return mid.ticks_per_beat, tempo or DEFAULT_TEMPO, metre


def grid_seconds(path):
    division, tempo, _ = midi_timing(path)
    return GRID_TICKS * tempo / division / 1e6


# ---------------------------------------------------------------- grid metric

def _count_matches(ref, est, tol):
    """Maximum one-to-one matching of two sorted onset lists of one pitch,
    |ref - est| <= tol. Greedy from the left is optimal for equal windows."""
    i = j = m = 0
    while i < len(ref) and j < len(est):
        d = est[j] - ref[i]
        if d < -tol:
            j += 1
        elif d > tol:
            i += 1
        else:
            m += 1
            i += 1
            j += 1
    return m


def _pairs(ref, est, tol):
    i = j = 0
    out = []
    while i < len(ref) and j < len(est):
        d = est[j] - ref[i]
        if d < -tol:
            j += 1
        elif d > tol:
            i += 1
        else:
            out.append(d)
            i += 1
            j += 1
    return out


def grid_match(ref_notes, est_notes, tol, max_shift=4.0, step=0.01):
    """Best constant shift s (added to every output onset) and the number of
    one-to-one matches at it. Among shifts with the most matches the one with
    the smallest total onset deviation wins, then the smallest |s|."""
    tol = tol + 1e-9
    by_pitch = {}
    for t, p in ref_notes:
        by_pitch.setdefault(p, ([], []))[0].append(t)
    for t, p in est_notes:
        if p in by_pitch:
            by_pitch[p][1].append(t)
    groups = [(np.array(sorted(r)), np.array(sorted(e))) for r, e in by_pitch.values() if e]
    if not groups:
        return 0.0, 0, 0.0
    k_max = int(round(max_shift / step))
    # Upper bound per shift: every same-pitch pair whose difference is within tol of it.
    bound = np.zeros(2 * k_max + 2, int)
    for r, e in groups:
        d = (r[:, None] - e[None, :]).ravel()
        lo = np.clip(np.ceil((d - tol) / step - 1e-9).astype(int), -k_max, k_max + 1) + k_max
        hi = np.clip(np.floor((d + tol) / step + 1e-9).astype(int) + 1, -k_max, k_max + 1) + k_max
        np.add.at(bound, lo, 1)
        np.add.at(bound, hi, -1)
    bound = np.cumsum(bound)[:2 * k_max + 1]
    best = (0, 0.0, 0.0)            # matches, -deviation, -|s|
    best_s = 0.0
    for idx in np.argsort(-bound, kind="stable"):
        if bound[idx] < best[0] or bound[idx] == 0:
            break
        s = (idx - k_max) * step
        m, dev = 0, 0.0
        for r, e in groups:
            d = _pairs(list(r), list(e + s), tol)
            m += len(d)
            dev += sum(abs(x) for x in d)
        key = (m, -round(dev, 9), -abs(s))
        if key > best:
            best, best_s = key, s
    return round(best_s, 6), best[0], -best[1]


def prf(matches, n_ref, n_est):
    p = matches / n_est if n_est else 0.0
    r = matches / n_ref if n_ref else 0.0
    f = 2 * p * r / (p + r) if p + r else 0.0
    return p, r, f


# ---------------------------------------------------------------- engine run

def tempo_settings(ref_path):
    """Settings that tell the engine the reference's tempo and metre."""
    division, tempo, metre = midi_timing(ref_path)
    num, den = metre or (4, 4)
    quarter_bpm = 60e6 / tempo
    return [("Tempo", f"{quarter_bpm * den / 4:.6g}"),
            ("TimeSignatureNumerator", str(num)),
            ("TimeSignatureDenominator", str(int(round(math.log2(den)))))]


def run_engine(args, ref, wav, workdir, name):
    settings = os.path.join(workdir, name + ".settings.txt")
    status = os.path.join(workdir, name + ".status.txt")
    out = os.path.join(workdir, name + ".out.mid")
    pairs = [("WaveFile", os.path.abspath(wav)), ("MidiFile", out)]
    if args.tempo_from_ref:
        pairs += tempo_settings(ref)
    pairs += args.set
    with open(settings, "w") as f:
        f.writelines(f"{k}={v}\n" for k, v in pairs)
    with open(status, "w") as f:
        f.write("0\n")
    if os.path.exists(out):
        os.remove(out)
    fields = {"engine": os.path.abspath(args.engine), "settings": settings, "status": status}
    if args.starter:
        cmd = [args.starter] + [a.format(**fields) for a in args.starter_args.split()]
    else:
        cmd = [fields["engine"], settings, status, "+"]
    start = time.monotonic()
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=args.timeout)
        code, stdout, stderr = proc.returncode, proc.stdout, proc.stderr
    except subprocess.TimeoutExpired as e:
        code, stdout, stderr = "timeout", e.stdout or "", e.stderr or ""
    elapsed = time.monotonic() - start
    final = ""
    if os.path.exists(status):
        with open(status, errors="replace") as f:
            final = f.read().strip()
    return {"command": cmd, "exit": code, "seconds": round(elapsed, 3), "status_line": final,
            "stdout": stdout if isinstance(stdout, str) else stdout.decode(errors="replace"),
            "stderr": stderr if isinstance(stderr, str) else stderr.decode(errors="replace"),
            "output": out if os.path.exists(out) else None}


def run_score_py(score_py, ref, out, max_shift):
    if not score_py or not os.path.exists(score_py):
        return None
    proc = subprocess.run([PYTHON, score_py, ref, out, "--max-shift", f"{max_shift:g}"],
                          capture_output=True, text=True)
    if proc.returncode != 0:
        return {"error": proc.stderr.strip().splitlines()[-1:] or ["failed"]}
    return json.loads(proc.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------- main

def evaluate_output(ref, out, args):
    """Both metrics for an output MIDI file (or None for a failed run)."""
    ref_notes = read_notes(ref)
    row = {"n_ref": len(ref_notes), "n_est": 0, "matches": 0, "shift_s": None,
           "grid_s": args.grid_seconds, "score": None}
    if out is None:
        return row
    est_notes = read_notes(out)
    tol = args.grid_seconds if args.grid_seconds else grid_seconds(out)
    shift, matches, dev = grid_match(ref_notes, est_notes, tol, args.max_shift)
    row.update(n_est=len(est_notes), matches=matches, shift_s=shift, grid_s=round(tol, 6),
               mean_abs_dev_s=round(dev / matches, 4) if matches else None)
    if not args.no_score_py:
        row["score"] = run_score_py(args.score_py, ref, out, args.max_shift)
    return row


def fmt(x, pattern=".3f"):
    return "-" if x is None else format(x, pattern)


def print_table(rows):
    head = (f"{'piece':<18} {'exit':>7} {'time':>6} {'ref':>4} {'out':>4} {'grid':>6} {'shift':>6} "
            f"{'P':>6} {'R':>6} {'F1':>6} | {'on50':>6} {'on50s':>6} {'onoffs':>6} {'frame':>6} {'chroma':>6}")
    print(head)
    print("-" * len(head))
    for r in rows:
        s = r.get("score") or {}
        print(f"{r['name']:<18} {str(r['exit']):>7} {fmt(r['seconds'], '.1f'):>6} {r['n_ref']:>4} "
              f"{r['n_est']:>4} {fmt(r['grid_s']):>6} {fmt(r['shift_s'], '.2f'):>6} "
              f"{r['P']:>6.3f} {r['R']:>6.3f} {r['F1']:>6.3f} | "
              f"{fmt(s.get('onset_f1')):>6} {fmt(s.get('onset_f1_shifted')):>6} "
              f"{fmt(s.get('onset_offset_f1_shifted')):>6} {fmt(s.get('frame_f1')):>6} "
              f"{fmt(s.get('chroma_frame_f1')):>6}")


def total_row(rows):
    n_ref = sum(r["n_ref"] for r in rows)
    n_est = sum(r["n_est"] for r in rows)
    matches = sum(r["matches"] for r in rows)
    p, r, f = prf(matches, n_ref, n_est)
    total = {"name": "TOTAL", "exit": f"{sum(1 for x in rows if x['exit'] == 0)}/{len(rows)} ok",
             "seconds": sum(x["seconds"] or 0 for x in rows), "n_ref": n_ref, "n_est": n_est,
             "matches": matches, "grid_s": None, "shift_s": None, "P": p, "R": r, "F1": f}
    # score.py: onset figures pooled over all notes (its recall times the
    # reference count gives the matches); the other figures averaged over
    # pieces. A failed run counts with zero figures.
    if any(x.get("score") and "error" not in x["score"] for x in rows):
        def fig(x, key):
            s = x.get("score")
            return s[key] if s and "error" not in s else 0.0

        def pooled(rkey):
            m = sum(round(fig(x, rkey) * x["n_ref"]) for x in rows)
            return prf(m, n_ref, n_est)[2]
        mean = lambda key: float(np.mean([fig(x, key) for x in rows]))
        total["score"] = {"onset_f1": pooled("onset_r"), "onset_f1_shifted": pooled("onset_r_shifted"),
                          "onset_offset_f1_shifted": mean("onset_offset_f1_shifted"),
                          "frame_f1": mean("frame_f1"), "chroma_frame_f1": mean("chroma_frame_f1")}
    return total


def parse_args(argv):
    ap = argparse.ArgumentParser(
        description="Run the engine on rendered pieces and score its MIDI output.",
        epilog="Columns: exit code, run time (s), reference and output note counts, grid step (s), "
               "best shift (s); P/R/F1 of the grid metric; then score.py: on50 onset F1 (50 ms, "
               "unshifted), on50s the same after its best shift, onoffs onset+offset F1 after the "
               "shift, frame and chroma frame F1. TOTAL pools the notes of all pieces (frame "
               "figures and onoffs: mean over pieces).")
    ap.add_argument("--engine", help="engine executable (needed unless --compare-only)")
    ap.add_argument("--set", action="append", default=[], metavar="Key=Value",
                    help="extra settings line, repeatable; later lines override earlier ones")
    ap.add_argument("--starter", metavar="PATH",
                    help="start the engine through this program instead of directly")
    ap.add_argument("--starter-args", default="{engine} {settings} {status} +", metavar="TEMPLATE",
                    help="arguments given to --starter; {engine}, {settings}, {status} are replaced "
                         "(default: %(default)r)")
    ap.add_argument("--tempo-from-ref", action="store_true",
                    help="write Tempo, TimeSignatureNumerator and TimeSignatureDenominator taken "
                         "from the reference MIDI before the --set lines")
    ap.add_argument("--grid-seconds", type=float, default=None,
                    help="onset tolerance of the grid metric (default: 48 ticks of the output file)")
    ap.add_argument("--max-shift", type=float, default=4.0, help="shift search range in seconds")
    ap.add_argument("--score-py", default=SCORE_PY, help="shared scorer (default: %(default)s)")
    ap.add_argument("--no-score-py", action="store_true", help="skip the shared scorer")
    ap.add_argument("--workdir", help="keep settings, status and output files here "
                                      "(default: a temporary directory, removed afterwards)")
    ap.add_argument("--timeout", type=float, default=600, help="seconds per engine run")
    ap.add_argument("--json", metavar="FILE", help="write every figure to FILE")
    ap.add_argument("--compare-only", action="store_true",
                    help="the second file of each pair is a MIDI output to score; no engine run")
    ap.add_argument("-v", "--verbose", action="store_true", help="show the engine's output")
    ap.add_argument("files", nargs="+", metavar="REF.mid AUDIO.wav")
    a = ap.parse_args(argv)
    if len(a.files) % 2:
        ap.error("files come in pairs: REF.mid AUDIO.wav")
    if not a.compare_only and not a.engine:
        ap.error("--engine is required")
    pairs = []
    for item in a.set:
        key, eq, value = item.partition("=")
        if not eq or not key:
            ap.error(f"--set wants Key=Value, got {item!r}")
        pairs.append((key, value))
    a.set = pairs
    return a


def main(argv):
    args = parse_args(argv)
    workdir = args.workdir or tempfile.mkdtemp(prefix="sonoscriptor-eval-")
    os.makedirs(workdir, exist_ok=True)
    workdir = os.path.abspath(workdir)
    rows = []
    try:
        for i in range(0, len(args.files), 2):
            ref, second = args.files[i], args.files[i + 1]
            name = os.path.splitext(os.path.basename(second))[0]
            if any(r["name"] == name for r in rows):
                name = f"{name}-{i // 2 + 1}"
            if args.compare_only:
                run = {"exit": 0, "seconds": None, "output": second}
            else:
                run = run_engine(args, ref, second, workdir, name)
                if args.verbose:
                    sys.stderr.write(f"[{name}] {' '.join(run['command'])}\n{run['stdout']}{run['stderr']}"
                                     f"[{name}] exit {run['exit']}, status: {run['status_line']!r}\n")
            ok = run["exit"] == 0 and run["output"]
            row = {"name": name, "ref": ref, "input": second}
            row.update({k: v for k, v in run.items() if k not in ("stdout", "stderr")})
            row.update(evaluate_output(ref, run["output"] if ok else None, args))
            row["P"], row["R"], row["F1"] = prf(row["matches"], row["n_ref"], row["n_est"])
            rows.append(row)
        total = total_row(rows)
        print_table(rows + [total])
        if args.json:
            with open(args.json, "w") as f:
                json.dump({"pieces": rows, "total": total}, f, indent=1, default=str)
    finally:
        if not args.workdir:
            shutil.rmtree(workdir, ignore_errors=True)
    return 0 if all(r["exit"] == 0 for r in rows) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
