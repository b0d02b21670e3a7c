#!/usr/bin/python3
"""Measure the starter on the wide corpus: notes where they sound, and the beat, metre and downbeat.

    run_wide.py [--corpus DIR] [--split dev|held] [--starter PATH] [--work DIR]
                [--soundfont SF ...] [--room ROOM ...] [--piece NAME ...]
                [--metre-only [--no-plain]] [--json FILE] [--markdown FILE] [-j N]
    run_wide.py --collect JSON ...     one summary row per rendering of earlier --json files
    run_wide.py --tables [--corpus DIR] JSON ... > TABLES.md
                                       the tables the README shows, from earlier --json files
                                       (one per rendering, or one with them all), basic-pitch
                                       scored again from CORPUS/bp/ so that its latest outputs
                                       count: a summary row per rendering (means, aligned
                                       counts, beat/numerator/downbeat shares), then per
                                       rendering a row per piece (auto, true tempo, plain
                                       baseline, basic-pitch unshifted onset F1, the best
                                       shift where not aligned, and the judgements)

For every piece of the split (tools/render/wide.py's manifest) and every
rendering (SoundFont SF, room ROOM: dry and room unless asked; kit and band,
the dry rendering over drums, only when asked) it runs the starter (--starter, default
build/sonoscriptor) in three configurations and scores each output against
the reference with the shared scorer (50 ms onsets, unshifted):

  auto   `sonoscriptor WAV`: no option, what a new user gets
  true   the true tempo and metre given: --tempo-map with the written quarter
         notes of the reference (its first entry the time from the file's start
         to the first quarter of the music) and --time-signature with the bar in
         quarters (6/8 as 3/4, 12/8 as 6/4, 2/2 as 4/4; none for 9/8)
  plain  the plain reading, independent of the starter's own choice of level:
         the beats of libaubio's beat tracker as a user would run it
         (`aubiotrack -i WAV`, Debian's aubio-tools), from the first strong
         onset on (see first_strong_onset), given with --tempo-map (its first
         entry the time to that onset) and --time-signature 4/4

and reads basic-pitch's output from the corpus (bp/NAME.SF.ROOM.mid) when it
is there. The figures of every output: onset_f1 (unshifted: the one that
counts), aligned (best constant shift within 20 ms), best_shift_s,
onset_f1_shifted, velocity_f1, and the unshifted onset precision (onset_p) and
recall (onset_r) beside the F1 (in the tables as F1 (P/R)).

The metre: `sonoscriptor --beats WAV` prints the beats, the downbeats, the
median tempo and the time signature; tools/eval/metre.py judges them against
the truth (the written beat's median tempo within 4 %, the numerator, the
first downbeat within 70 ms) and names the metrical level (the printed tempo
over the written one: 1/3, 1/2, 2/3, 1, 3/2, 2, 3, other). The plain
baseline is judged the same way with the printed tempo, numerator 4 and the
first downbeat at the first strong onset. `--metre-only --no-plain` judges the
starter alone: the quick loop while tuning the metre on the development half.

Output: the tables per rendering on standard output (and --markdown), every
figure in --json. Runs go two at a time (-j); this script and its runs go at
`nice -n 10`.
"""
import argparse
import concurrent.futures
import json
import math
import os
import statistics
import subprocess
import sys
import time
import wave

import mido
import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(ROOT, "tools", "render"))
import metre  # noqa: E402
from evaluate import SCORE_PY  # noqa: E402
from run_corpus import quarter_metre, write_tempo_map  # noqa: E402
from wide import CORPUS, EVERY_ROOM, ROOMS, SOUNDFONTS  # noqa: E402

sys.path.insert(0, os.path.dirname(SCORE_PY))
from midinotes import read_notes  # noqa: E402
from score import score  # noqa: E402

CONFIGS = ("auto", "true", "plain")
SYSTEMS = CONFIGS + ("bp",)
FIGURES = ("onset_f1", "onset_p", "onset_r", "aligned", "best_shift_s", "onset_f1_shifted", "velocity_f1", "n_ref",
           "n_est")
# The first strong onset: the first 10 ms frame whose level reaches a tenth of the loudest frame's
# (-20 dB), and rises there by 6 dB or more over the frame 30 ms before; else the first frame that
# reaches -20 dB at all.
ONSET_FRAME_S = 0.010
ONSET_LEVEL = 0.1
ONSET_RISE = 2.0
ONSET_LOOKBACK = 3
MAP_TAIL_S = 1.0               # a tempo map covers the audio and this much more
AUBIOTRACK = "aubiotrack"      # the plain baseline's tracker (Debian aubio-tools)


# ---------------------------------------------------------------- inputs

def load_pieces(corpus, split, names):
    with open(os.path.join(corpus, "manifest.json")) as f:
        pieces = json.load(f)["pieces"]
    return [p for p in pieces if (names and p["name"] in names) or (not names and split in (None, p["split"]))]


def load_truth(corpus, name):
    with open(os.path.join(corpus, "truth", name + ".json")) as f:
        return json.load(f)


def audio_seconds(wav):
    with wave.open(wav, "rb") as w:
        return w.getnframes() / w.getframerate()


def first_strong_onset(wav):
    """Seconds of the first strong onset of a recording (see ONSET_*)."""
    with wave.open(wav, "rb") as w:
        rate, channels = w.getframerate(), w.getnchannels()
        x = np.frombuffer(w.readframes(w.getnframes()), "<i2").astype(np.float64)
    x = x.reshape(-1, channels).mean(axis=1)
    hop = int(round(ONSET_FRAME_S * rate))
    frames = len(x) // hop
    level = np.sqrt((x[:frames * hop].reshape(frames, hop) ** 2).mean(axis=1))
    loud = level >= ONSET_LEVEL * level.max()
    for i in np.nonzero(loud)[0]:
        before = level[i - ONSET_LOOKBACK] if i >= ONSET_LOOKBACK else 0.0
        if level[i] >= ONSET_RISE * before:
            return round(float(i) * ONSET_FRAME_S, 3)
    return round(float(np.argmax(loud)) * ONSET_FRAME_S, 3)


def map_lengths(times, audio_s):
    """Tempo-map lengths in ms for beats at `times` (seconds, rising, the first after 0): the
    first the time from 0 to it; the last interval repeated past the audio's end; each length
    rounded so that the sum never drifts more than half a millisecond."""
    times = list(times)
    step = times[-1] - times[-2] if len(times) > 1 else 0.5
    while times[-1] < audio_s + MAP_TAIL_S:
        times.append(times[-1] + step)
    marks = [0] + [int(round(t * 1000)) for t in times]
    return [b - a for a, b in zip(marks, marks[1:]) if b > a]


def quarter_times(ref_mid):
    """Seconds of the written quarter notes of a reference (wide.py's layout: a quarter-long
    lead-in, then the music from the first time signature of the metre on)."""
    mid = mido.MidiFile(ref_mid)
    conductor, tick, changes, signatures = mid.tracks[0], 0, [], []
    for msg in conductor:
        tick += msg.time
        if msg.type == "set_tempo":
            changes.append((tick, msg.tempo))
        elif msg.type == "time_signature":
            signatures.append(tick)
    division = mid.ticks_per_beat
    downbeat = signatures[1] if len(signatures) > 1 else division
    last = max(sum(m.time for m in t) for t in mid.tracks)
    first = downbeat - ((downbeat - division) // division) * division

    def seconds(at):
        t, prev_tick, tempo = 0.0, 0, changes[0][1]
        for when, us in changes:
            if when > at:
                break
            t += (when - prev_tick) * tempo / 1e6 / division
            prev_tick, tempo = when, us
        return t + (at - prev_tick) * tempo / 1e6 / division
    return [seconds(q) for q in range(first, last + 1, division)]


# ---------------------------------------------------------------- runs

def run(cmd, out=None):
    """Runs a command at low priority; (stdout, seconds, error message or "")."""
    start = time.monotonic()
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True)
    except OSError as e:
        return "", 0.0, str(e)
    seconds = round(time.monotonic() - start, 2)
    if proc.returncode != 0 or (out and not os.path.exists(out)):
        return proc.stdout, seconds, (proc.stderr.strip() or proc.stdout.strip())[-400:] or f"exit {proc.returncode}"
    return proc.stdout, seconds, ""


def figures(ref, est):
    """The scorer's figures of one output; None for none."""
    if est is None or not os.path.exists(est):
        return None
    try:
        s = score(read_notes(ref), read_notes(est, skip_percussion=False))
    except ValueError as err:          # e.g. a note below 20 Hz, which the frame measure refuses
        return {"error": str(err)[:200]}
    return {k: s[k].item() if hasattr(s[k], "item") else s[k] for k in FIGURES}


def judge_listing(truth, found):
    """metre.judge of a --beats listing against the truth, as a dict."""
    num, den = (int(x) for x in truth["metre"].split("/"))
    ref = {"tempo": truth["beat_bpm_median"], "metre": (num, den), "downbeats": truth["downbeats"]}
    beat, numerator, downbeat, level, first = metre.judge(ref, found)
    return {"beat": bool(beat), "numerator": bool(numerator), "downbeat": bool(downbeat), "level": level,
            "first_downbeat_s": first,
            "tempo": found["tempo"] if found else None,
            "metre": "%d/%d" % tuple(found["metre"]) if found and found["metre"] else None}


def aubio_beats(wav):
    """Beat times (seconds) of libaubio's own tracker run as a user would: `aubiotrack -i WAV`
    with its defaults; [] when it finds none or cannot run."""
    text, _, err = run([AUBIOTRACK, "-i", wav])
    if err:
        return []
    beats = []
    for word in text.split():
        try:
            beats.append(float(word))
        except ValueError:
            pass
    return beats


def plain_reading(beats, onset):
    """The plain reading from an independent tracker's beats: the tempo of their median
    inter-beat interval, 4/4, a downbeat on the first strong onset, and the beats after it
    (the first moved onto the onset) for the tempo map."""
    gaps = [b - a for a, b in zip(beats, beats[1:]) if b > a]
    tempo = 60 / statistics.median(gaps) if gaps else None
    later = [b for b in beats if b > onset + 0.05]
    return {"tempo": tempo, "metre": (4, 4), "beats": [onset] + later, "downbeats": [onset],
            "header": "plain (aubiotrack)"}


def one(args, piece, sf, room):
    """Every run and figure of one rendering."""
    name = piece["name"]
    key = f"{name}.{sf}.{room}"
    wav = os.path.join(args.corpus, "audio", key + ".wav")
    ref = os.path.join(args.corpus, "ref", name + ".mid")
    truth = load_truth(args.corpus, name)
    row = {"piece": name, "soundfont": sf, "room": room, "metre": truth["metre"],
           "beat_bpm_median": truth["beat_bpm_median"], "first_downbeat_s": truth["downbeats"][0],
           "errors": {}, "seconds": {}}
    if not os.path.exists(wav):
        row["errors"]["audio"] = "not rendered"
        return row
    audio_s = audio_seconds(wav)
    text, row["seconds"]["beats"], err = run([args.starter, "--beats"] + args.beats_option + [wav])
    listing = metre.parse_listing(text).get(wav)
    if err:
        row["errors"]["beats"] = err
    row["beats_header"] = listing["header"] if listing else None
    row["metre_auto"] = judge_listing(truth, listing)
    if args.metre_only and args.no_plain:
        return row
    onset = first_strong_onset(wav)
    plain = plain_reading(aubio_beats(wav), onset)
    row["first_strong_onset_s"] = onset
    row["metre_plain"] = judge_listing(truth, plain)
    if args.metre_only:
        return row
    num, den = (int(x) for x in truth["metre"].split("/"))
    work = os.path.join(args.work, key)
    os.makedirs(work, exist_ok=True)
    options = {
        "auto": [],
        "true": ["--tempo-map", write_tempo_map(os.path.join(work, "true.map"),
                                                map_lengths(quarter_times(ref), audio_s))]
        + quarter_metre(num, den),
        "plain": (["--tempo-map", write_tempo_map(os.path.join(work, "plain.map"),
                                                  map_lengths(plain["beats"], audio_s))]
                  if len(plain["beats"]) > 1 else ["--tempo", "120"]) + ["--time-signature", "4/4"],
    }
    for config in CONFIGS:
        out = os.path.join(work, config + ".mid")
        _, row["seconds"][config], err = run([args.starter, "-q", "--force", "-j", "1", "-o", out]
                                             + options[config] + [wav], out)
        if err:
            row["errors"][config] = err
        row[config] = figures(ref, None if err else out)
    row["bp"] = figures(ref, os.path.join(args.corpus, "bp", key + ".mid"))
    return row


# ---------------------------------------------------------------- tables

def share(rows, config, what):
    got = [r[f"metre_{config}"][what] for r in rows if f"metre_{config}" in r]
    return sum(got) / len(got) if got else float("nan")


def mean(rows, system, figure="onset_f1"):
    got = [r[system][figure] for r in rows if r.get(system) and figure in r[system]]
    return (sum(got) / len(got), len(got)) if got else (float("nan"), 0)


def cell(fig):
    if not fig or "error" in fig:
        return "–"
    pr = f" ({fig['onset_p']:.2f}/{fig['onset_r']:.2f})" if "onset_p" in fig else ""
    return f"{fig['onset_f1']:.3f}" + pr + ("" if fig["aligned"] else f" ({fig['best_shift_s']:+.2f} s)")


def velocity_cell(r):
    """The velocity-aware note F1 of the auto output and of basic-pitch's."""
    return " / ".join(f"{r[s]['velocity_f1']:.3f}" if r.get(s) and "velocity_f1" in r[s] else "–"
                      for s in ("auto", "bp"))


def marks(m):
    return "".join("✓" if m[k] else "✗" for k in ("beat", "numerator", "downbeat"))


def table(rows):
    """One rendering's table: a row per piece and the means and shares."""
    head = ["piece", "metre", "beat", "auto F1 (P/R)", "true F1 (P/R)", "plain F1 (P/R)", "basic-pitch F1 (P/R)",
            "velocity F1 auto / bp", "auto: tempo, metre, 1st downbeat", "auto b/n/d", "plain b/n/d"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for r in rows:
        a = r.get("metre_auto", {})
        found = (f"{a.get('tempo') or 0:.1f} ({a.get('level')}), {a.get('metre') or '–'}, "
                 f"{'–' if a.get('first_downbeat_s') is None else '%.2f' % a['first_downbeat_s']} "
                 f"(true {r['first_downbeat_s']:.2f})") if a else "–"
        lines.append("| " + " | ".join([
            f"`{r['piece']}`", r["metre"], f"{r['beat_bpm_median']:.0f}",
            cell(r.get("auto")), cell(r.get("true")), cell(r.get("plain")), cell(r.get("bp")),
            velocity_cell(r), found, marks(a) if a else "–",
            marks(r["metre_plain"]) if "metre_plain" in r else "–"]) + " |")
    means = [mean(rows, s) for s in SYSTEMS]
    prs = [(mean(rows, s, "onset_p"), mean(rows, s, "onset_r")) for s in SYSTEMS]
    velocities = " / ".join(f"**{m:.3f}**" if n else "–" for m, n in
                            (mean(rows, "auto", "velocity_f1"), mean(rows, "bp", "velocity_f1")))
    lines.append("| **mean** | | | " + " | ".join(
        (f"**{m:.3f}**" + (f" ({p[0]:.2f}/{r[0]:.2f})" if p[1] else "")) if n else "–"
        for (m, n), (p, r) in zip(means, prs))
                 + f" | {velocities} | | "
                 + f"{share(rows, 'auto', 'beat'):.0%} / {share(rows, 'auto', 'numerator'):.0%} / "
                 f"{share(rows, 'auto', 'downbeat'):.0%} | "
                 f"{share(rows, 'plain', 'beat'):.0%} / {share(rows, 'plain', 'numerator'):.0%} / "
                 f"{share(rows, 'plain', 'downbeat'):.0%} |")
    aligned = {s: sum(1 for r in rows if r.get(s) and r[s].get("aligned")) for s in SYSTEMS}
    lines.append("")
    lines.append("Aligned (best shift within 20 ms): " + ", ".join(
        f"{s} {aligned[s]} of {mean(rows, s)[1]}" for s in SYSTEMS) + ".")
    return "\n".join(lines)


def summary(rows):
    """The overall figures of a set of rows (all renderings of a split)."""
    out = {"renderings": len(rows)}
    for s in SYSTEMS:
        for fig in ("onset_f1", "onset_p", "onset_r", "onset_f1_shifted", "velocity_f1"):
            out[f"{s}_{fig}"] = round(mean(rows, s, fig)[0], 4)
        out[f"{s}_aligned"] = sum(1 for r in rows if r.get(s) and r[s].get("aligned"))
        out[f"{s}_count"] = mean(rows, s)[1]
    for config in ("auto", "plain"):
        for what in ("beat", "numerator", "downbeat"):
            out[f"{config}_{what}_share"] = round(share(rows, config, what), 4)
    levels = {}
    for r in rows:
        if "metre_auto" in r:
            levels[r["metre_auto"]["level"]] = levels.get(r["metre_auto"]["level"], 0) + 1
    out["auto_levels"] = levels
    return out


def markdown(rows, args):
    parts = []
    for sf in args.soundfont:
        for room in args.room:
            chosen = [r for r in rows if r["soundfont"] == sf and r["room"] == room]
            if chosen:
                parts.append(f"### {sf}, {room} ({args.split or 'chosen'} pieces)\n\n{table(chosen)}\n")
    s = summary(rows)
    parts.append("### All renderings\n\n| figure | value |\n|---|---|\n" + "\n".join(
        f"| {k} | {v} |" for k, v in s.items()) + "\n")
    return "\n".join(parts)


def parse_args(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--corpus", default=CORPUS)
    ap.add_argument("--split", choices=["dev", "held"], default="dev")
    ap.add_argument("--starter", default=os.path.join(ROOT, "build", "sonoscriptor"))
    ap.add_argument("--work", help="outputs (default CORPUS/eval/SPLIT)")
    ap.add_argument("--soundfont", action="append", choices=list(SOUNDFONTS))
    ap.add_argument("--room", action="append", choices=EVERY_ROOM)
    ap.add_argument("--piece", action="append")
    ap.add_argument("-j", "--jobs", type=int, default=2)
    ap.add_argument("--metre-only", action="store_true",
                    help="judge only the beat, metre and downbeat (no MIDI files, no onset F1)")
    ap.add_argument("--no-plain", action="store_true",
                    help="with --metre-only: leave out the plain baseline (it does not depend on the "
                         "starter; without it a rendering of 32 pieces is judged in about 10 s)")
    ap.add_argument("--beats-option", action="append", default=[], metavar="OPTION",
                    help="an option added to the starter's --beats run, e.g. --beats-option=--start=0.0058 "
                         "to read the metre of a recording started a few ms later (a steadiness check)")
    ap.add_argument("--json")
    ap.add_argument("--markdown")
    a = ap.parse_args(argv)
    a.soundfont = a.soundfont or list(SOUNDFONTS)
    a.room = a.room or list(ROOMS)
    a.starter = os.path.abspath(a.starter)
    a.work = os.path.abspath(a.work or os.path.join(a.corpus, "eval", a.split))
    return a


def collect(paths):
    """A Markdown table: one row per split and rendering found in the --json files given."""
    head = ["split", "rendering", "pieces", "auto F1", "auto F1 after shift", "true F1", "plain F1",
            "basic-pitch F1", "auto P/R", "basic-pitch P/R", "velocity F1 auto/bp", "aligned auto/true/plain/bp",
            "auto beat/num/down",
            "plain beat/num/down"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for path in paths:
        with open(path) as f:
            data = json.load(f)
        for sf in SOUNDFONTS:
            for room in EVERY_ROOM:
                rows = [r for r in data["rows"] if r["soundfont"] == sf and r["room"] == room]
                if not rows:
                    continue
                s = summary(rows)

                def f1(system, figure="onset_f1"):
                    return "–" if not s[f"{system}_count"] else \
                        f"{s[f'{system}_{figure}']:.3f}" + ("" if system != "bp" or s["bp_count"] == len(rows)
                                                          else f" ({s['bp_count']})")
                lines.append("| " + " | ".join([
                    data["split"], f"{sf} {room}", str(len(rows)), f1("auto"), f1("auto", "onset_f1_shifted"),
                    f1("true"), f1("plain"), f1("bp"), f1("auto", "onset_p") + " / " + f1("auto", "onset_r"),
                    f1("bp", "onset_p") + " / " + f1("bp", "onset_r"), f1("auto", "velocity_f1") + " / " + f1("bp", "velocity_f1"),
                    "/".join(str(s[f"{x}_aligned"]) for x in SYSTEMS),
                    " / ".join(f"{s[f'auto_{w}_share']:.0%}" for w in ("beat", "numerator", "downbeat")),
                    " / ".join(f"{s[f'plain_{w}_share']:.0%}" for w in ("beat", "numerator", "downbeat"))]) + " |")
    return "\n".join(lines)


def tables(paths, corpus):
    """The README's tables from --json files: basic-pitch scored again from corpus/bp, a summary row
    per rendering, then each rendering's per-piece table."""
    by_split = {}
    for path in paths:
        with open(path) as f:
            data = json.load(f)
        for r in data["rows"]:
            r["bp"] = figures(os.path.join(corpus, "ref", r["piece"] + ".mid"),
                              os.path.join(corpus, "bp", f"{r['piece']}.{r['soundfont']}.{r['room']}.mid"))
        by_split.setdefault(data["split"], []).extend(data["rows"])
    merged = []
    for split, rows in by_split.items():
        path = os.path.join("/tmp", f"run_wide_tables_{os.getpid()}_{split}.json")
        with open(path, "w") as f:
            json.dump({"split": split, "rows": rows}, f)
        merged.append(path)
    parts = ["## Every rendering: means (unshifted onset F1)\n", collect(merged), ""]
    for path in merged:
        os.remove(path)
    parts.append("basic-pitch's F1 is the mean over the pieces it has run on; (n) gives their number "
                 "when some are missing.\n")
    for split, rows in by_split.items():
        for sf in SOUNDFONTS:
            for room in EVERY_ROOM:
                chosen = [r for r in rows if r["soundfont"] == sf and r["room"] == room]
                if chosen:
                    parts.append(f"## {sf}, {room} ({split} pieces)\n\n{table(chosen)}\n")
    return "\n".join(parts)


def main(argv):
    if argv[:1] == ["--collect"]:
        print(collect(argv[1:]))
        return 0
    if argv[:1] == ["--tables"]:
        rest, corpus = argv[1:], CORPUS
        if rest[:1] == ["--corpus"]:
            corpus, rest = rest[1], rest[2:]
        print(tables(rest, corpus))
        return 0
    args = parse_args(argv)
    os.nice(10)                # the scoring too: the machine is shared
    pieces = load_pieces(args.corpus, args.split, args.piece)
    todo = [(p, sf, room) for sf in args.soundfont for room in args.room for p in pieces]
    start = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        rows = list(pool.map(lambda job: one(args, *job), todo))
    for r in rows:
        for what, err in r["errors"].items():
            print(f"{r['piece']} {r['soundfont']} {r['room']} {what}: {err}", file=sys.stderr)
    text = markdown(rows, args)
    print(text)
    elapsed = time.monotonic() - start
    print(f"{len(rows)} renderings in {elapsed:.0f} s", file=sys.stderr)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"starter": args.starter, "split": args.split, "seconds": round(elapsed, 1),
                       "summary": summary(rows), "rows": rows}, f, indent=1)
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write(text)
    return 0 if all(not r["errors"] for r in rows) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
