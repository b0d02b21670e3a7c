#!/usr/bin/python3
"""The refined notes' misses and extras sorted by kind, per piece and per instrument family.

    misses.py --soundfont SF --room ROOM [--split dev] [--work DIR] [--params LINE] [--by piece|family]
              [--json FILE] [-j N]

Reads the engine files `recall.py prepare` kept in WORK/NAME.SF.ROOM/ and refines each with
`sonoscriptor-refine` three times: with LINE (the thresholds judged, the defaults when empty), with
no rule at all (the engine's own notes in seconds of the recording: nothing confirmed, moved, split
or dropped) and with LINE and the proposal rule on. Every reference note the judged file misses
(unshifted, 50 ms) falls in the first kind that fits:

  late        an unmatched note of its key starts 50-150 ms after it
  early       an unmatched note of its key starts 50-150 ms before it
  held        a note of its key that started more than 50 ms before still sounds (a re-strike held over)
  octave      an unmatched note 12, 19 or 24 semitones away starts within 50 ms (octave or twelfth error)
  taken       the engine wrote a note of its key within 150 ms, and the rules gave it to another
              reference note of the key within 150 ms (a quick repeat written once)
  dropped     the engine wrote a note of its key within 150 ms, and the rules took it away
  unproposed  the engine wrote nothing of its key within 150 ms of it

Unproposed misses are counted again by what lies over them: `shadowed` when a reference note
12, 19 or 24 semitones below sounds at the onset (its partials cover the key), and `reachable` when
the proposal rule adds a note that hits it.

Every extra (an unmatched note of the judged file) falls in the first kind that fits:

  x_timing    a reference note of its key starts 50-150 ms away (the other half of a late/early miss)
  x_repeat    a reference note of its key sounds at its onset (split too many, or a repeat)
  x_partial   12, 19 or 24 semitones above a sounding reference note
  x_below     12, 19 or 24 semitones below one
  x_other     the rest

and, separately, `x_ruled` counts the extras the rules made (no engine note of the key within
70 ms: moved there, split or proposed).

With --peer MARGIN only the files whose basic-pitch output (CORPUS/bp/) scores an unshifted onset
F1 more than MARGIN above the judged file's are counted, and of their misses only the reference
notes basic-pitch hits: where it beats us. Their unproposed misses are split into `shadowed` and
`clear`, and a second table counts the same misses by register (`<48` ... `>=84`, MIDI keys) and
by how many reference notes sound at the onset (`poly1` ... `poly6+`, the note itself included).
"""
import argparse
import collections
import concurrent.futures
import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
from recall import CORPUS, INTERVALS, TOLERANCE, keys, mir_eval, onset_figures, read_notes  # noqa: E402
from score import as_arrays, hz  # noqa: E402

NEAR = 0.15         # how far a note of the key may lie to be that miss's late or early note, in seconds
ENGINE_NEAR = 0.15  # how far the engine's note of the key may lie to count as proposed
ORIGIN_NEAR = 0.07  # an extra with an engine note of its key this close was the engine's
NO_RULES = "nearStrength=1000 moveOn=0 splitOn=0 dropOn=0 restrikeOn=0 addOn=0"
MISS_KINDS = ("late", "early", "held", "octave", "taken", "dropped", "unproposed")
EXTRA_KINDS = ("x_timing", "x_repeat", "x_partial", "x_below", "x_other")
EXTRA_COUNTS = ("shadowed", "reachable", "x_ruled")
REGISTERS = ((48, "<48"), (60, "48-59"), (72, "60-71"), (84, "72-83"), (128, ">=84"))
PEER_COUNTS = ("files", "clear") + tuple(r for _, r in REGISTERS) + tuple(f"poly{n}" for n in range(1, 6)) + ("poly6+",)


def families():
    with open(os.path.join(CORPUS, "manifest.json")) as f:
        return {p["name"]: p["family"] for p in json.load(f)["pieces"]}


def matched(ref, est):
    """The indices of the reference and estimated notes matched (onsets within 50 ms, pitch)."""
    if not ref or not est:
        return set(), set()
    ri, rp = as_arrays(ref)
    ei, ep = as_arrays(est)
    pairs = mir_eval.transcription.match_notes(ri, hz(rp), ei, hz(ep), onset_tolerance=TOLERANCE,
                                               offset_ratio=None)
    return {i for i, _ in pairs}, {j for _, j in pairs}


def miss_kind(r, est, free, engine):
    t, p = r["onset"], r["pitch"]
    near = [n for j, n in enumerate(est) if j in free and n["pitch"] == p and TOLERANCE < abs(n["onset"] - t) <= NEAR]
    if near:
        return "late" if min(near, key=lambda n: abs(n["onset"] - t))["onset"] > t else "early"
    if any(n["pitch"] == p and n["onset"] < t - TOLERANCE and n["offset"] > t for n in est):
        return "held"
    if any(j in free and abs(n["pitch"] - p) in INTERVALS and abs(n["onset"] - t) <= TOLERANCE
           for j, n in enumerate(est)):
        return "octave"
    if any(n["pitch"] == p and abs(n["onset"] - t) <= ENGINE_NEAR for n in engine):
        return "taken" if any(n["pitch"] == p and abs(n["onset"] - t) <= NEAR for n in est) else "dropped"
    return "unproposed"


def extra_kind(x, ref):
    t, p = x["onset"], x["pitch"]
    if any(r["pitch"] == p and TOLERANCE < abs(r["onset"] - t) <= NEAR for r in ref):
        return "x_timing"
    live = [r for r in ref if r["onset"] <= t + TOLERANCE and r["offset"] > t]
    if any(r["pitch"] == p for r in live):
        return "x_repeat"
    if any(p - r["pitch"] in INTERVALS for r in live):
        return "x_partial"
    if any(r["pitch"] - p in INTERVALS for r in live):
        return "x_below"
    return "x_other"


def peer_counts(r, ref):
    """The register of reference note r and the number of reference notes sounding at its onset."""
    register = next(name for top, name in REGISTERS if r["pitch"] < top)
    sounding = sum(1 for o in ref if o["onset"] <= r["onset"] + TOLERANCE and o["offset"] > r["onset"])
    return [register, f"poly{sounding}" if sounding < 6 else "poly6+"]


def classify(ref, est, engine, proposed, peer_hits=None):
    """Counts of the misses and extras of est by kind (see the module's comment); with peer_hits (the
    reference notes basic-pitch hits), of the misses among them alone, by register and polyphony too."""
    hit_ref, hit_est = matched(ref, est)
    free = set(range(len(est))) - hit_est
    reach, _ = matched(ref, proposed)
    out = collections.Counter({k: 0 for k in ("ref", "est", "hits") + MISS_KINDS + EXTRA_KINDS + EXTRA_COUNTS})
    out.update(ref=len(ref), est=len(est), hits=len(hit_ref))
    for i, r in enumerate(ref):
        if i in hit_ref or (peer_hits is not None and i not in peer_hits):
            continue
        kind = miss_kind(r, est, free, engine)
        out[kind] += 1
        if kind == "unproposed":
            shadowed = any(r["pitch"] - o["pitch"] in INTERVALS and o["onset"] <= r["onset"] + TOLERANCE
                           and o["offset"] > r["onset"] for o in ref)
            out["shadowed"] += shadowed
            out["reachable"] += i in reach
            if peer_hits is not None:
                out["clear"] += not shadowed
        if peer_hits is not None:
            out.update(peer_counts(r, ref))
    for j in sorted(free):
        x = est[j]
        out[extra_kind(x, ref)] += 1
        out["x_ruled"] += not any(n["pitch"] == x["pitch"] and abs(n["onset"] - x["onset"]) <= ORIGIN_NEAR
                                  for n in engine)
    return out


def one(args, key):
    work = os.path.join(args.work, key)
    with tempfile.TemporaryDirectory(prefix="misses-") as out:
        params = os.path.join(out, "params.txt")
        with open(params, "w") as f:
            f.write("\n".join([args.params, NO_RULES, (args.params + " addOn=1").strip()]) + "\n")
        tempo = os.path.join(work, key + ".tempo.bin")
        subprocess.run(["nice", "-n", "10", args.refine, os.path.join(CORPUS, "audio", key + ".wav"),
                        os.path.join(work, key + ".engine.mid"), out, "--settings",
                        os.path.join(work, key + ".settings.txt"), "--params", params]
                       + (["--tempo-map", tempo] if os.path.exists(tempo) else []), capture_output=True, check=True)
        est, engine, proposed = (read_notes(os.path.join(out, f"{i}.mid"), skip_percussion=False) for i in range(3))
    ref = read_notes(os.path.join(CORPUS, "ref", key.split(".")[0] + ".mid"))
    if args.peer is None:
        return key, classify(ref, est, engine, proposed)
    bp = os.path.join(CORPUS, "bp", key + ".mid")
    if not os.path.exists(bp):
        return key, None
    peer = read_notes(bp, skip_percussion=False)
    if onset_figures(ref, peer)["f1"] - onset_figures(ref, est)["f1"] <= args.peer:
        return key, None
    out = classify(ref, est, engine, proposed, matched(ref, peer)[0])
    out["files"] += 1
    return key, out


def markdown(head, rows):
    """A Markdown table of the head and the rows (lists of cells)."""
    line = lambda cells: "| " + " | ".join(cells) + " |"
    return "\n".join([line(head), "|" + "---|" * len(head)] + [line(r) for r in rows])


def rows_table(groups):
    head = ["group", "ref", "hits", "P", "R"] + list(MISS_KINDS) + ["(shadowed", "reachable)"] + \
        [k[2:] for k in EXTRA_KINDS] + ["(ruled)"]
    rows = []
    for name, c in groups:
        p = c["hits"] / c["est"] if c["est"] else 0
        r = c["hits"] / c["ref"] if c["ref"] else 0
        rows.append([name, str(c["ref"]), str(c["hits"]), f"{p:.2f}", f"{r:.2f}"]
                    + [str(c[k]) for k in MISS_KINDS + ("shadowed", "reachable") + EXTRA_KINDS + ("x_ruled",)])
    return markdown(head, rows)


def peer_table(groups):
    return markdown(["group"] + list(PEER_COUNTS), [[name] + [str(c[k]) for k in PEER_COUNTS] for name, c in groups])


def main(argv):
    ap = argparse.ArgumentParser()
    ap.add_argument("--soundfont", action="append", required=True)
    ap.add_argument("--room", action="append", required=True)
    ap.add_argument("--split", default="dev")
    ap.add_argument("--work", default="/tmp/recall-eval/base")
    ap.add_argument("--refine", default=os.path.join(ROOT, "build", "sonoscriptor-refine"))
    ap.add_argument("--params", default="")
    ap.add_argument("--by", choices=["piece", "family", "rendering"], action="append")
    ap.add_argument("--json")
    ap.add_argument("--peer", type=float, help="only where basic-pitch's F1 is this much above ours, and the notes it hits")
    ap.add_argument("-j", "--jobs", type=int, default=2)
    a = ap.parse_args(argv)
    with concurrent.futures.ThreadPoolExecutor(a.jobs) as pool:
        results = {k: c for k, c in pool.map(lambda k: one(a, k), keys(a)) if c is not None}
    fam = families()
    if a.json:
        with open(a.json, "w") as f:
            json.dump(results, f, indent=1)
    for by in a.by or ["family"]:
        groups = collections.defaultdict(collections.Counter)
        for key, c in results.items():
            name, sf, room = key.split(".")
            groups[{"piece": name, "family": fam[name], "rendering": f"{sf} {room}"}[by]].update(c)
        total = collections.Counter()
        for c in groups.values():
            total.update(c)
        print(rows_table(sorted(groups.items()) + [("**all**", total)]) + "\n")
        if a.peer is not None:
            print(peer_table(sorted(groups.items()) + [("**all**", total)]) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
