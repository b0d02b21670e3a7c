#!/usr/bin/env python3
"""Counts what makes a score hard to read, beside MuseScore's own import of the same notes.

For each piece of the wide corpus (one rendering), runs the starter with `--format both`, so the
MIDI file and the score hold the same notes, imports that MIDI file with MuseScore 3
(`mscore3 -o out.musicxml in.mid`, Debian's musescore3) and counts in both scores: measures,
ties, printed rests, metronome marks and staccato marks.

    tools/eval/notation_counts.py --split dev --starter build/sonoscriptor [--soundfont fluid]
        [--room dry] [--piece NAME ...] [--work DIR] [--json OUT]
"""
import argparse
import json
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


def one_piece(args, piece):
    wav = os.path.join(CORPUS, "audio", f"{piece}.{args.soundfont}.{args.room}.wav")
    mid = os.path.join(args.work, f"{piece}.mid")
    ours = os.path.join(args.work, f"{piece}.musicxml")
    theirs = os.path.join(args.work, f"{piece}.musescore.musicxml")
    subprocess.run([args.starter, "-q", "-j", "1", "--force", "--format", "both", wav, "-o", mid],
                   check=True, capture_output=True)
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    subprocess.run(["mscore3", "-o", theirs, mid], check=True, capture_output=True, env=env, timeout=300)
    return {"piece": piece, "ours": counts(ours), "musescore": counts(theirs)}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--split", choices=["dev", "held"], default="dev")
    ap.add_argument("--starter", default=os.path.join(ROOT, "build", "sonoscriptor"))
    ap.add_argument("--soundfont", default="fluid")
    ap.add_argument("--room", default="dry")
    ap.add_argument("--piece", action="append")
    ap.add_argument("--work", default="/tmp/notation-counts")
    ap.add_argument("--json")
    args = ap.parse_args()
    os.makedirs(args.work, exist_ok=True)
    split = json.load(open(os.path.join(ROOT, "tools", "render", "wide_split.json")))
    pieces = args.piece or sorted(p for p, v in split.items() if v["split"] == args.split)
    rows = [one_piece(args, p) for p in pieces]
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
    if args.json:
        json.dump({"rows": rows, "total": total}, open(args.json, "w"), indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
