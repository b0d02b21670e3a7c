#!/usr/bin/env python3
"""Counts what makes a score hard to read, beside MuseScore's own import of the same notes.

For each piece of the wide corpus (one rendering), runs the starter with `--format both`, so the
MIDI file and the score hold the same notes, imports that MIDI file with MuseScore 3
(`mscore3 -o out.musicxml in.mid`, Debian's musescore3) and counts in both scores: measures,
ties, printed rests, metronome marks and staccato marks. For the solo piano pieces (`piano-*`,
whose reference plays the right hand on MIDI channel 1 and the left hand's bass and
accompaniment on the others) it also counts how many of our score's notes that match a
reference note (same key, 50 ms) stand on that hand's staff.

    tools/eval/notation_counts.py --split dev --starter build/sonoscriptor [--soundfont fluid]
        [--room dry] [--piece NAME ...] [--work DIR] [--json OUT] [-j JOBS]

With --reference, both scores are made from the corpus's reference MIDI file itself (the starter
takes a MIDI file as input), which measures the writing of a score apart from the transcription;
and MuseScore reads our score back into a MIDI file, whose notes are compared with the reference's
(distinct keys and onsets on the 16th grid or the grid of a quarter's sixths, whichever the score
wrote). With --midi DIR, the MIDI files DIR/PIECE.mid (say,
transcriptions kept from an earlier run's work directory) are scored through MIDI input, which
gives the score the audio path gives for the same notes.
"""
import argparse
import bisect
import concurrent.futures
import json
import math
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CORPUS = os.environ.get("SONOSCRIPTOR_CORPUS", "/work/corpus")


def counts(path):
    """The counts of one MusicXML file."""
    text = open(path, encoding="utf-8").read()
    notes = re.findall(r"<note\b[^>]*>.*?</note>", text, re.S)
    rests = [n for n in notes if "<rest" in n and 'print-object="no"' not in n.split(">", 1)[0]]
    return {
        "measures": len(re.findall(r"<measure\b", text)) // max(1, len(re.findall(r"<score-part\b", text))),
        "ties": len(re.findall(r'<tie type="start"', text)),
        "rests": len(rests),
        "tempo_marks": len(re.findall(r"<metronome\b", text)),
        "staccato": len(re.findall(r"<staccato\b", text)),
    }


STEPS = {"C": 0, "D": 2, "E": 4, "F": 5, "G": 7, "A": 9, "B": 11}


def score_notes(path):
    """(key, onset in quarters from the score's start, staff) of every struck note of a score."""
    text = open(path, encoding="utf-8").read()
    divisions = int(re.search(r"<divisions>(\d+)", text).group(1))
    notes, start = [], 0
    for measure in re.findall(r"<measure\b.*?</measure>", text, re.S):
        at = last = length = 0
        for m in re.finditer(r"<note\b.*?</note>|<backup>.*?</backup>|<forward>.*?</forward>", measure, re.S):
            e = m.group(0)
            duration = int(re.search(r"<duration>(\d+)", e).group(1))
            if e.startswith("<backup"):
                at -= duration
                continue
            chord = "<chord/>" in e
            onset = last if chord else at
            if not e.startswith("<forward") and not chord:
                last = at
            if not chord:
                at += duration
            length = max(length, at)
            p = re.search(r"<step>(\w)</step>(?:\s*<alter>(-?\d)</alter>)?\s*<octave>(\d)", e)
            if p and 'tie type="stop"' not in e:
                key = 12 * (int(p.group(3)) + 1) + STEPS[p.group(1)] + int(p.group(2) or 0)
                staff = re.search(r"<staff>(\d)", e)
                notes.append((key, (start + onset) / divisions, int(staff.group(1)) if staff else 1))
        start += length
    return notes


def midi_notes(path):
    """(key, onset in quarters, onset in seconds, channel) of every note of a MIDI file."""
    import mido
    midi = mido.MidiFile(path)
    tempos, events = [], []
    for track in midi.tracks:
        tick = 0
        for msg in track:
            tick += msg.time
            if msg.type == "set_tempo":
                tempos.append((tick, msg.tempo))
            elif msg.type == "note_on" and msg.velocity > 0:
                events.append((tick, msg.note, msg.channel))
    tempos.sort()
    ticks = [t for t, _ in tempos]

    def seconds(tick):
        total, before, tempo = 0.0, 0, 500000
        for t, value in tempos[:bisect.bisect_right(ticks, tick)]:
            total += (t - before) * tempo / midi.ticks_per_beat / 1e6
            before, tempo = t, value
        return total + (tick - before) * tempo / midi.ticks_per_beat / 1e6

    return [(key, tick / midi.ticks_per_beat, seconds(tick), channel) for tick, key, channel in events]


def hands(piece, ours_score, ours_midi):
    """Notes of our score on the staff of the reference's hand, and notes matched."""
    ours, ref = midi_notes(ours_midi), midi_notes(os.path.join(CORPUS, "ref", f"{piece}.mid"))
    agree = matched = 0
    for key, quarters, staff in score_notes(ours_score):
        near = [o for o in ours if o[0] == key and abs(o[1] - quarters) < 0.26]
        if not near:
            continue
        seconds = min(near, key=lambda o: abs(o[1] - quarters))[2]
        played = [r for r in ref if r[0] == key and abs(r[2] - seconds) < 0.05]
        if played:
            matched += 1
            agree += staff == (1 if played[0][3] == 0 else 2)
    return agree, matched


def on_grid(notes):
    """The distinct (key, 16th, sixth of a quarter) of notes as midi_notes gives them: the nearest
    point of the plain grid and of the triplet grid (a quarter's thirds and sixths), either of which
    the score may write the onset on. Onsets are rounded half up, as the score's grid snaps them:
    Python's round() takes an onset halfway between two 16ths to the even one, and would count a
    note the score writes on the later 16th as lost."""
    return {(key, math.floor(quarters * 4 + 0.5), math.floor(quarters * 6 + 0.5)) for key, quarters, _, _ in notes}


def found_on_grid(want, back):
    """The notes of want (as on_grid gives them) that back's notes strike on the same key exactly on
    one of their two grid points (in 48ths of a quarter, where both grids meet)."""
    struck = {(key, round(quarters * 48)) for key, quarters, _, _ in back}
    return [w for w in want if (w[0], 12 * w[1]) in struck or (w[0], 8 * w[2]) in struck]


def round_trip(ours, mid, work, piece, env):
    """Distinct notes of the MIDI file (key and onset on the 16th or the triplet grid; a unison
    doubled on two channels is one note of a one-part score) found again in MuseScore's reading of
    our score, exported back to MIDI (or, for those its MIDI export misses, to MusicXML): (found,
    notes)."""
    back = os.path.join(work, f"{piece}.roundtrip.mid")
    subprocess.run(["mscore3", "-o", back, ours], check=True, capture_output=True, env=env, timeout=300)
    want = on_grid(midi_notes(mid))
    found = found_on_grid(want, midi_notes(back))
    if len(found) < len(want):
        # MuseScore plays a part on one channel, which sounds a key once at a time: a key one staff
        # strikes while the other holds it (a unison of the two hands) is in its reading of the score
        # but not in its MIDI export. The notes missing there are looked for in its reading written
        # out as MusicXML.
        read = os.path.join(work, f"{piece}.roundtrip.musicxml")
        subprocess.run(["mscore3", "-o", read, ours], check=True, capture_output=True, env=env, timeout=300)
        known = set(found)
        missing = [w for w in want if w not in known]
        found += found_on_grid(missing, [(key, quarters, 0, 1) for key, quarters, _ in score_notes(read)])
    return len(found), len(want)


def one_piece(args, piece):
    ours = os.path.join(args.work, f"{piece}.musicxml")
    theirs = os.path.join(args.work, f"{piece}.musescore.musicxml")
    if args.reference or args.midi:
        mid = os.path.join(args.midi or os.path.join(CORPUS, "ref"), f"{piece}.mid")
        subprocess.run([args.starter, "-q", "--force", mid, "-o", ours], check=True, capture_output=True)
    else:
        wav = os.path.join(CORPUS, "audio", f"{piece}.{args.soundfont}.{args.room}.wav")
        mid = os.path.join(args.work, f"{piece}.mid")
        subprocess.run([args.starter, "-q", "-j", "1", "--force", "--format", "both", wav, "-o", mid],
                       check=True, capture_output=True)
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    # MuseScore's import of the same MIDI bytes is the same each run: kept in the work directory.
    imported = os.path.join(args.work, f"{piece}.musescore.mid")
    data = open(mid, "rb").read()
    if not (os.path.exists(theirs) and os.path.exists(imported) and open(imported, "rb").read() == data):
        subprocess.run(["mscore3", "-o", theirs, mid], check=True, capture_output=True, env=env, timeout=300)
        open(imported, "wb").write(data)
    row = {"piece": piece, "ours": counts(ours), "musescore": counts(theirs)}
    if args.reference:
        row["round_trip"] = round_trip(ours, mid, args.work, piece, env)
    if piece.startswith("piano-"):
        row["hands"] = hands(piece, ours, mid)
    return row


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--split", choices=["dev", "held"], default="dev")
    ap.add_argument("--starter", default=os.path.join(ROOT, "build", "sonoscriptor"))
    ap.add_argument("--soundfont", default="fluid")
    ap.add_argument("--room", default="dry")
    ap.add_argument("--piece", action="append")
    ap.add_argument("--reference", action="store_true",
                    help="score the reference MIDI files themselves (MIDI in), so no transcription error is involved")
    ap.add_argument("--midi", metavar="DIR",
                    help="score DIR/PIECE.mid through MIDI input: transcriptions written before (a score "
                         "change then needs no new transcription)")
    ap.add_argument("--work", default="/tmp/notation-counts")
    ap.add_argument("--json")
    ap.add_argument("-j", "--jobs", type=int, default=1, help="pieces scored at once")
    args = ap.parse_args()
    os.makedirs(args.work, exist_ok=True)
    split = json.load(open(os.path.join(ROOT, "tools", "render", "wide_split.json")))
    pieces = args.piece or sorted(p for p, v in split.items() if v["split"] == args.split)
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
        rows = list(pool.map(lambda p: one_piece(args, p), pieces))
    keys = ["measures", "ties", "rests", "tempo_marks", "staccato"]
    print("| piece | " + " | ".join(f"{k} ours / MuseScore" for k in keys) + " |")
    print("|---|" + "---|" * len(keys))
    total = {side: {k: 0 for k in keys} for side in ("ours", "musescore")}
    for r in rows:
        print(f"| {r['piece']} | " + " | ".join(f"{r['ours'][k]} / {r['musescore'][k]}" for k in keys) + " |")
        for side in total:
            for k in keys:
                total[side][k] += r[side][k]
    print("| **all** | " + " | ".join(f"{total['ours'][k]} / {total['musescore'][k]}" for k in keys) + " |")
    fewer = sum(r["ours"]["ties"] <= r["musescore"]["ties"] and r["ours"]["rests"] <= r["musescore"]["rests"]
                for r in rows)
    print(f"pieces with no more ties and no more rests than MuseScore's import: {fewer} of {len(rows)}")
    trips = [r for r in rows if "round_trip" in r]
    if trips:
        lost = [f"{r['piece']} {r['round_trip'][0]}/{r['round_trip'][1]}" for r in trips
                if r["round_trip"][0] < r["round_trip"][1]]
        print(f"round trip (MuseScore reads our score back; key and onset on the 16th or the triplet grid): "
              f"{sum(r['round_trip'][0] for r in trips)}/{sum(r['round_trip'][1] for r in trips)} notes; "
              f"short: {', '.join(lost) or 'none'}")
    piano = [r for r in rows if "hands" in r]
    if piano:
        print("notes on the staff of the reference's hand (solo piano): " +
              ", ".join(f"{r['piece']} {r['hands'][0]}/{r['hands'][1]}" for r in piano) +
              f"; all {sum(r['hands'][0] for r in piano)}/{sum(r['hands'][1] for r in piano)}")
    if args.json:
        json.dump({"rows": rows, "total": total}, open(args.json, "w"), indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
