#!/usr/bin/python3
"""The wide corpus: 60-odd excerpts of published and written-out music, their truth, their renderings.

    wide.py manifest [--corpus DIR]
    wide.py render [--corpus DIR] [--split dev|held|train] [--soundfont SF ...] [--room ROOM ...] [NAME ...]
    wide.py list
    wide.py check [--corpus DIR]

`manifest` writes DIR/manifest.json, DIR/ref/NAME.mid (the reference: the very
file that is rendered) and DIR/truth/NAME.json (the written beats and bar
lines in seconds of the audio), for every piece of tools/render/wide_pieces.py.
The split into a development and a held-out half is read from
tools/render/wide_split.json, which `manifest` writes once when it is missing
(wide_pieces.decide_split) and never changes afterwards. A third set, `train`,
holds pieces the refinement's models are fitted on and nothing is judged on
(other bars of the development pieces' sources, tunes in neither half, the
development half's written pieces transposed and played by other
instruments; added to the split file by hand, never taken from the held-out
half's music).

`render` writes DIR/audio/NAME.SF.ROOM.wav (44100 Hz 16-bit stereo, peak at
-1 dBFS, starting at the reference's time 0) and NAME.SF.ROOM.mono22050.wav
(the peer transcriber's input) for the pieces of a split (or the NAMEs
given), each SoundFont SF of SOUNDFONTS and room ROOM of ROOMS (`--room kit`:
the dry rendering with a plain drum kit along the written beats, which the
refinement's models also learn from; `--room band`: with a band's kit chosen
per piece, a check of other drums; see add_kit); renderings already there are
kept. Everything is the same on every run. `check` reads every reference back with
mido and checks that the bar lines of its own time signatures and tempo map
fall on the truth's downbeats, and its notes within the audio (exit 1 if not).

How a piece becomes a reference (see make_reference): the notes of the
excerpt, in quarter notes from its first written downbeat (a pick-up
negative), are laid on a tempo map that starts with a short silence (the
lead-in, seeded per piece, 0.05-0.65 s) and, for a piece with a
performance, is shaped beat by beat (rubato, phrase-end and final
ritardandi) while every onset moves by a seeded jitter and the velocities
follow the phrase. The MIDI file carries that tempo map and the written
time signature, with a partial bar for the lead-in and the pick-up, so its
bar lines fall on the downbeats heard.
"""
import argparse
import json
import math
import os
import random
import statistics
import subprocess
import sys
import tempfile
import zlib

import mido

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import beat_pieces  # noqa: E402  (render, normalise)
import corpus as small_corpus  # noqa: E402  (mono22050)

CORPUS = "/work/corpus"
SPLIT_FILE = os.path.join(HERE, "wide_split.json")
SOUNDFONTS = {
    "fluid": "/usr/share/sounds/sf2/FluidR3_GM.sf2",
    "musescore": "/usr/share/sounds/sf3/MuseScore_General.sf3",
    "timgm": "/usr/share/sounds/sf2/TimGM6mb.sf2",
}
# sox reverb: reverberance 50 %, HF damping 50 %, room scale 85 %, stereo depth 100 %,
# pre-delay 0 ms (an onset keeps its time), wet gain 0 dB; wet and dry are mixed.
ROOMS = {"dry": None, "room": ["reverb", "50", "50", "85", "100", "0", "0"]}
# Not a room the corpus is measured in but one the refinement's models also learn from (and a check
# of drums under the music): the dry rendering with a plain drum kit along the written beats
# (kit_midi), rendered with the same SoundFont. Only made when asked for by name.
KIT = "kit"
# The same with a band's kit chosen per piece (band_midi): other kicks, snares and hand claps,
# hi-hats, ride, tambourine or shakers, tom fills, crashes, congas and a cowbell. A check of drums
# the models did not learn from; also only made when asked for.
BAND = "band"
KITS = (KIT, BAND)
EVERY_ROOM = (*ROOMS, *KITS)
DIVISION = 960                 # ticks per quarter note of a reference
ABC_GRID = 96                  # abc2midi starts notes a tick late: its onsets are put on 1/96 quarter
DRUMS = 9                      # the percussion channel, left out (the transcriber is pitched)
CONTROLS = (7, 10, 11, 64)     # volume, pan, expression, sustain pedal: carried into an excerpt
LOWEST_KEY = 21               # A0, the piano's lowest: abc2midi's low chord notes may go below,
                               # where the scorer's frame measure (20 Hz and up) cannot take them
MAX_SECONDS = 28.0            # the MIDI file's length; the rendering adds the instruments' release


# ---------------------------------------------------------------- an excerpt in quarter notes

class Excerpt:
    """Notes in quarter notes from the first written downbeat (pick-up notes negative).

    notes: (onset_q, dur_q, key, velocity, channel); tempi: (q, quarter bpm) from the
    excerpt's start on; metres: (q, numerator, denominator) from 0 on; controls:
    (q, channel, control, value); programs: {channel: program}; pickup_q: quarters
    from the excerpt's start to the first downbeat."""

    def __init__(self, notes, tempi, metres, programs, pickup_q=0.0, controls=()):
        self.notes = sorted(notes)
        self.tempi, self.metres = sorted(tempi), sorted(metres)
        self.programs, self.pickup_q = dict(programs), float(pickup_q)
        self.controls = sorted(controls)

    @property
    def end_q(self):
        return max(n[0] + n[1] for n in self.notes)


def beat_quarters(num, den):
    """The written beat in quarter notes: the dotted quarter in 6/8, 9/8, 12/8; the half in 2/2."""
    if den == 8 and num % 3 == 0 and num > 3:
        return 1.5
    return 4.0 / den


def bar_quarters(num, den):
    return num * 4.0 / den


def source_bar_lines(metres, end_q, first_bar_q=0.0):
    """Bar lines in quarters of a source, from its time signatures [(q, num, den)]."""
    lines, q = [], first_bar_q
    while q <= end_q + 1e-9:
        lines.append(q)
        num, den = [m for m in metres if m[0] <= q + 1e-9][-1][1:] if any(
            m[0] <= q + 1e-9 for m in metres) else metres[0][1:]
        q += bar_quarters(num, den)
    return lines


def read_midi(path, grid=None):
    """Every event of a MIDI file in quarter notes: notes, tempi, metres, programs, controls."""
    mid = mido.MidiFile(path)
    scale = 1.0 / mid.ticks_per_beat
    notes, tempi, metres, programs, controls, sounding = [], [], [], {}, [], {}

    def at(tick):
        q = tick * scale
        return round(q * grid) / grid if grid else q
    tick = 0
    for msg in mido.merge_tracks(mid.tracks):
        tick += msg.time
        q = at(tick)
        if msg.type == "set_tempo":
            tempi.append((q, mido.tempo2bpm(msg.tempo)))
        elif msg.type == "time_signature":
            metres.append((q, msg.numerator, msg.denominator))
        elif msg.type == "program_change":
            programs.setdefault(msg.channel, []).append((q, msg.program))
        elif msg.type == "control_change" and msg.control in CONTROLS:
            controls.append((q, msg.channel, msg.control, msg.value))
        elif msg.type == "note_on" and msg.velocity > 0:
            sounding.setdefault((msg.channel, msg.note), []).append((q, msg.velocity))
        elif msg.type in ("note_on", "note_off"):
            started = sounding.get((msg.channel, msg.note))
            if started:
                on, velocity = started.pop(0)
                if q > on:
                    notes.append((on, q - on, msg.note, velocity, msg.channel))
    return notes, tempi or [(0.0, 120.0)], metres or [(0.0, 4, 4)], programs, controls


def in_force(events, q, default):
    """The value of the last (q, value) event at or before q."""
    value = default
    for when, v in events:
        if when <= q + 1e-9:
            value = v
    return value


def grid_phase(path):
    """Where a file's 16th-note grid lies against its ticks, in quarters (-1/8 to 1/8): the most
    common phase of the onsets within a 16th (in twentieths of it, each counted with its two
    neighbours), refined by the circular mean of the onsets within a tenth of a 16th of it.
    Some files start their music a little after the first bar line."""
    phases = [(n[0] * 4) % 1 for n in read_midi(path)[0] if n[4] != DRUMS]
    bins = [0] * 20
    for p in phases:
        bins[int(p * 20) % 20] += 1
    mode = max(range(20), key=lambda b: (bins[b - 1] + bins[b] + bins[(b + 1) % 20], -b)) / 20 + 0.025
    near = [p for p in phases if abs((p - mode + 0.5) % 1 - 0.5) <= 0.1]
    x = sum(math.cos(2 * math.pi * p) for p in near)
    y = sum(math.sin(2 * math.pi * p) for p in near)
    phase = (math.atan2(y, x) / (2 * math.pi)) % 1
    return (phase - 1 if phase > 0.5 else phase) / 4


def excerpt_midi(path, start_bar=0, bars=8, pickup_q=0.0, first_bar_q=0.0, grid=None,
                 channels=None, transpose=0, programs=None):
    """The excerpt of a MIDI file from `pickup_q` quarters before bar `start_bar` (counted from 0)
    for `bars` bars; drums left out, notes cut at the excerpt's end."""
    notes, tempi, metres, source_programs, controls = read_midi(path, grid)
    end_q = max(n[0] + n[1] for n in notes)
    lines = source_bar_lines(metres, end_q + 64, first_bar_q)
    if start_bar + bars >= len(lines):
        raise ValueError(f"{path}: {len(lines)} bars, not {start_bar + bars}")
    zero, stop = lines[start_bar], lines[start_bar + bars]
    begin = zero - pickup_q
    picked = [(on - zero, min(dur, stop - on), key + transpose, vel, ch) for on, dur, key, vel, ch in notes
              if begin - 1e-9 <= on < stop - 1e-9 and ch != DRUMS and (channels is None or ch in channels)
              and key + transpose >= LOWEST_KEY]
    used = {n[4] for n in picked}
    progs = {ch: in_force(source_programs.get(ch, []), begin, 0) for ch in used}
    progs.update(programs or {})
    window_tempi = [(-pickup_q, in_force([(q, b) for q, b in tempi], begin, 120.0))]
    window_tempi += [(q - zero, b) for q, b in tempi if begin < q < stop]
    window_metres = [(0.0,) + tuple(in_force([(q, (n, d)) for q, n, d in metres], zero, (4, 4)))]
    window_metres += [(q - zero, n, d) for q, n, d in metres if zero < q < stop]
    start_controls = {}
    for q, ch, cc, value in controls:
        if q <= begin + 1e-9 and ch in used:
            start_controls[(ch, cc)] = value
    window_controls = [(-pickup_q, ch, cc, v) for (ch, cc), v in sorted(start_controls.items())]
    window_controls += [(q - zero, ch, cc, v) for q, ch, cc, v in controls
                        if begin < q < stop and ch in used]
    return Excerpt(picked, window_tempi, window_metres, progs, pickup_q, window_controls)


def abc_excerpt(abc_path, pickup_q=0.0, bars=None, number=None, transpose=0, programs=None):
    """The tune of an ABC file (abc2midi; repeats played out; tune X:number of a file of several)
    whose first bar line comes `pickup_q` quarters after its first note: all of it, or its first
    `bars` bars."""
    with tempfile.TemporaryDirectory(prefix="wide-abc-") as tmp:
        mid = os.path.join(tmp, "tune.mid")
        subprocess.run(["abc2midi", abc_path] + ([str(number)] if number else []) + ["-o", mid], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True)
        notes, _, metres, _, _ = read_midi(mid, ABC_GRID)
        if bars is None:
            end = max(n[0] + n[1] for n in notes)
            bars = len(source_bar_lines(metres, end - 1e-6, pickup_q))
        return excerpt_midi(mid, 0, bars, pickup_q, first_bar_q=pickup_q, grid=ABC_GRID,
                            transpose=transpose, programs=programs)


# ---------------------------------------------------------------- performance

def seeded(name, what):
    """A random generator for one purpose of one piece: the same on every run."""
    return random.Random(zlib.crc32(f"{name}/{what}".encode()))


def bar_of(excerpt):
    num, den = excerpt.metres[0][1:]
    return bar_quarters(num, den)


def tempo_factor(excerpt, name, q):
    """The performance's tempo factor for the quarter starting at q: a slow rubato wave,
    a broadening in the last bar of every four-bar phrase, a final ritardando over two bars."""
    r = seeded(name, "rubato")
    depth, period, phase = r.uniform(0.03, 0.06), r.uniform(5.0, 9.0), r.uniform(0, 2 * math.pi)
    factor = 1.0 + depth * math.sin(2 * math.pi * q / period + phase)
    bar = bar_of(excerpt)
    phrase = 4 * bar
    into = q % phrase
    if into >= phrase - bar:
        factor *= 1.0 - 0.10 * (into - (phrase - bar)) / bar
    left = excerpt.end_q - q
    if left <= 2 * bar:
        factor *= 1.0 - 0.25 * (1.0 - max(left, 0.0) / (2 * bar))
    return factor


def performed_tempi(excerpt, name):
    """The written tempo map shaped quarter by quarter by tempo_factor."""
    first = -excerpt.pickup_q
    points = [first] + list(range(math.ceil(first + 1e-9), math.ceil(excerpt.end_q)))
    points = sorted(set(points) | {q for q, _ in excerpt.tempi})
    return [(q, in_force(excerpt.tempi, q, 120.0) * tempo_factor(excerpt, name, q)) for q in points]


def performed_notes(excerpt, name, seconds_per_quarter_at):
    """Onsets moved by a seeded jitter (a chord together, sigma 5-20 ms a piece, then +-2 ms a
    note), in quarters; velocities shaped by a two-bar arc and a downbeat accent."""
    r = seeded(name, "jitter")
    sigma = r.uniform(0.005, 0.020)
    chord_shift, out = {}, []
    bar = bar_of(excerpt)
    for on, dur, key, vel, ch in excerpt.notes:
        shift = chord_shift.setdefault((on, ch), max(-2 * sigma, min(2 * sigma, r.gauss(0, sigma))))
        shift += r.uniform(-0.002, 0.002)
        dq = shift / seconds_per_quarter_at(on)
        arc = math.sin(math.pi * ((on % (2 * bar)) / (2 * bar)))
        accent = 6 if abs(on % bar) < 1e-6 else 0
        v = round(vel * (0.82 + 0.30 * arc) + accent + r.gauss(0, 3))
        out.append((max(on + dq, -excerpt.pickup_q), dur, key, max(20, min(127, v)), ch))
    return sorted(out), sigma


# ---------------------------------------------------------------- the reference and its truth

class Timeline:
    """Where quarter positions lie in seconds: the lead-in, then the tempo map."""

    def __init__(self, tempi, start_q, lead_s):
        self.start_q, self.lead_s = start_q, lead_s
        # set_tempo values as written (whole microseconds), so the truth is what the synthesiser plays
        self.points = [(q, int(round(60e6 / bpm))) for q, bpm in tempi]

    def seconds_per_quarter_at(self, q):
        return in_force(self.points, q, self.points[0][1]) / 1e6

    def time_of(self, q):
        t, pos = self.lead_s, self.start_q
        for i, (at, us) in enumerate(self.points):
            upto = self.points[i + 1][0] if i + 1 < len(self.points) else math.inf
            if q <= at:
                break
            seg_end = min(q, upto)
            if seg_end > pos:
                t += (seg_end - max(pos, at)) * us / 1e6
                pos = seg_end
        return t


def lead_seconds(name):
    return round(0.05 + 0.6 * seeded(name, "lead").random(), 3)


def ticks(q, start_q):
    """Tick of a quarter position: the lead-in is one quarter-long tick span."""
    return DIVISION + int(round((q - start_q) * DIVISION))


def written_grid(excerpt, end_q):
    """(beats, downbeats) in quarters: the written beats from the excerpt's start to end_q."""
    beats, downbeats = [], []
    metres = excerpt.metres
    num, den = metres[0][1:]
    step = beat_quarters(num, den)
    q = 0.0
    while q - step >= -excerpt.pickup_q - 1e-9:
        q -= step
        beats.append(q)
    beats.reverse()
    q = 0.0
    while q < end_q - 1e-9:
        num, den = in_force([(m[0], m[1:]) for m in metres], q, metres[0][1:])
        downbeats.append(q)
        step, bar = beat_quarters(num, den), bar_quarters(num, den)
        beats.extend(q + i * step for i in range(int(round(bar / step))) if q + i * step < end_q - 1e-9)
        q += bar
    return beats, downbeats


def shortened(excerpt, end_q):
    """The excerpt up to end_q: later notes left out, notes sounding there cut."""
    notes = [(on, min(dur, end_q - on), *rest) for on, dur, *rest in excerpt.notes if on < end_q - 1e-9]
    return Excerpt(notes, [t for t in excerpt.tempi if t[0] < end_q], [m for m in excerpt.metres if m[0] < end_q],
                   excerpt.programs, excerpt.pickup_q, [c for c in excerpt.controls if c[0] < end_q])


def make_reference(piece):
    """(mido.MidiFile, truth dict, manifest fields) of a piece of wide_pieces, cut bar by bar
    from its end until the reference lasts at most MAX_SECONDS."""
    excerpt = piece.excerpt()
    while True:
        made = reference_of(piece, excerpt)
        if made[0].length <= MAX_SECONDS:
            return made
        _, downbeats = written_grid(excerpt, excerpt.end_q)
        excerpt = shortened(excerpt, downbeats[-1] if downbeats[-1] < excerpt.end_q - 1e-9 else downbeats[-2])


def reference_of(piece, excerpt):
    """(mido.MidiFile, truth dict, manifest fields) of one excerpt of a piece."""
    start_q = -excerpt.pickup_q
    lead = lead_seconds(piece.name)
    tempi = performed_tempi(excerpt, piece.name) if piece.performance else list(excerpt.tempi)
    if tempi[0][0] > start_q:
        tempi.insert(0, (start_q, in_force(excerpt.tempi, start_q, 120.0)))
    timeline = Timeline(tempi, start_q, lead)
    notes, sigma = (performed_notes(excerpt, piece.name, timeline.seconds_per_quarter_at)
                    if piece.performance else (excerpt.notes, 0.0))
    mid = reference_midi(piece, excerpt, notes, timeline)
    beats_q, downbeats_q = written_grid(excerpt, excerpt.end_q)
    beats = [timeline.time_of(q) for q in beats_q]
    intervals = [b - a for a, b in zip(beats, beats[1:])]
    first_down = beats_q.index(0.0)
    num, den = excerpt.metres[0][1:]
    truth = {
        "beats": [round(t, 6) for t in beats],
        "downbeats": [round(timeline.time_of(q), 6) for q in downbeats_q],
        "metre": f"{num}/{den}",
        "beat_bpm": round(60 / intervals[first_down], 3),
        "beat_bpm_median": round(60 / statistics.median(intervals), 3),
        "lead_in_s": lead,
        "jitter_sigma_s": round(sigma, 4),
    }
    fields = {
        "metre": truth["metre"],
        "beat_bpm": truth["beat_bpm"],
        "beat_bpm_median": truth["beat_bpm_median"],
        "first_downbeat_s": truth["downbeats"][0],
        "pickup_beats": round(excerpt.pickup_q / beat_quarters(num, den), 3),
        "duration_s": round(mid.length, 3),
    }
    return mid, truth, fields


def reference_midi(piece, excerpt, notes, timeline):
    """A format-1 file: the conductor track (tempo map, time signatures), one track a channel."""
    start_q = timeline.start_q
    mid = mido.MidiFile(type=1, ticks_per_beat=DIVISION)
    conductor = [(0, 0, mido.MetaMessage("track_name", name=piece.name, time=0))]
    # The lead-in lasts one quarter of ticks at the tempo that makes it lead_s long.
    conductor.append((0, 1, mido.MetaMessage("set_tempo", tempo=int(round(timeline.lead_s * 1e6)), time=0)))
    for q, us in timeline.points:
        conductor.append((ticks(q, start_q), 1, mido.MetaMessage("set_tempo", tempo=us, time=0)))
    conductor += time_signatures(excerpt, start_q)
    tracks = [conductor]
    for ch in sorted({n[4] for n in notes}):
        events = [(0, 0, mido.Message("program_change", channel=ch, program=excerpt.programs.get(ch, 0)))]
        for q, c, cc, value in excerpt.controls:
            if c == ch:
                events.append((ticks(q, start_q), 1, mido.Message("control_change", channel=ch, control=cc,
                                                                  value=value)))
        for on, dur, key, vel, c in notes:
            if c != ch:
                continue
            t_on = ticks(on, start_q)
            t_off = max(t_on + 1, ticks(on + dur, start_q) - 1)
            events.append((t_on, 3, mido.Message("note_on", channel=ch, note=key, velocity=vel)))
            events.append((t_off, 2, mido.Message("note_off", channel=ch, note=key, velocity=0)))
        tracks.append(events)
    for events in tracks:
        track, now = mido.MidiTrack(), 0
        for t, _, msg in sorted(events, key=lambda e: (e[0], e[1])):
            track.append(msg.copy(time=t - now))
            now = t
        track.append(mido.MetaMessage("end_of_track", time=0))
        mid.tracks.append(track)
    return mid


def time_signatures(excerpt, start_q):
    """A partial first bar (the lead-in, one denominator unit, and the pick-up), then the metre."""
    num, den = excerpt.metres[0][1:]
    unit = 4.0 / den
    partial = 1 + excerpt.pickup_q / unit
    out = []
    if abs(partial - round(partial)) < 1e-6:
        out.append((0, 0, mido.MetaMessage("time_signature", numerator=int(round(partial)), denominator=den)))
    else:       # a pick-up off the denominator's grid: the partial bar in 16ths
        sixteenths = int(round((DIVISION * 4 // den + excerpt.pickup_q * DIVISION) / (DIVISION / 4)))
        out.append((0, 0, mido.MetaMessage("time_signature", numerator=sixteenths, denominator=16)))
    for q, n, d in excerpt.metres:
        out.append((ticks(q, start_q), 0, mido.MetaMessage("time_signature", numerator=n, denominator=d)))
    return out


# ---------------------------------------------------------------- manifest and rendering

def read_split():
    if not os.path.exists(SPLIT_FILE):
        return None
    with open(SPLIT_FILE) as f:
        return json.load(f)


def write_manifest(corpus):
    """Writes manifest.json, ref/ and truth/; fixes the split once."""
    import wide_pieces
    split = read_split()
    if split is None:
        split = wide_pieces.decide_split(wide_pieces.PIECES)
        with open(SPLIT_FILE, "w") as f:
            json.dump(split, f, indent=1, sort_keys=True)
            f.write("\n")
    missing = [p.name for p in wide_pieces.PIECES if p.name not in split]
    if missing:
        raise SystemExit(f"pieces without a split (add them to {SPLIT_FILE} by hand): {missing}")
    for sub in ("ref", "truth", "audio", "bp"):
        os.makedirs(os.path.join(corpus, sub), exist_ok=True)
    entries = []
    for piece in wide_pieces.PIECES:
        piece.performance = split[piece.name]["performance"]
        mid, truth, fields = make_reference(piece)
        if not 12.0 <= fields["duration_s"] <= MAX_SECONDS + 2:
            print(f"warning: {piece.name} lasts {fields['duration_s']:.1f} s", file=sys.stderr)
        mid.save(os.path.join(corpus, "ref", piece.name + ".mid"))
        truth["metre"] = fields["metre"]
        with open(os.path.join(corpus, "truth", piece.name + ".json"), "w") as f:
            json.dump(truth, f, indent=1)
            f.write("\n")
        entry = {"name": piece.name, "split": split[piece.name]["split"], "source": piece.source,
                 "family": piece.family, "texture": piece.texture}
        entry.update(fields)
        entry["performance"] = piece.performance
        if piece.origin:
            entry["origin"] = piece.origin
        entry["title"] = piece.title
        entries.append(entry)
    with open(os.path.join(corpus, "manifest.json"), "w") as f:
        json.dump({"pieces": entries}, f, indent=1)
        f.write("\n")
    return entries


def load_manifest(corpus):
    with open(os.path.join(corpus, "manifest.json")) as f:
        return json.load(f)["pieces"]


def bar_places(truth):
    """Each written beat of a piece's truth with its place in the bar, the time of the next beat, and
    the bar's beats and parts of a beat (compound time: three)."""
    beats, downbeats = truth["beats"], truth["downbeats"]
    num, den = map(int, truth["metre"].split("/"))
    compound = den == 8 and num % 3 == 0
    per_bar = num // 3 if compound else (2 if num == 2 else num)
    parts = 3 if compound else 2
    first = min(range(len(beats)), key=lambda i: abs(beats[i] - downbeats[0]))
    places = []
    for i, b in enumerate(beats):
        following = beats[i + 1] if i + 1 < len(beats) else b + (b - beats[i - 1])
        places.append((b, (i - first) % per_bar, following))
    return places, per_bar, parts, compound


def kicked(place, per_bar, compound):
    """Whether a kit's kick (else its snare or backbeat) takes the beat at this place of the bar: the
    first beat in compound time and in 3/4, the odd beats otherwise."""
    return place == 0 if (compound or per_bar == 3) else place % 2 == 0


def kit_midi(truth):
    """A plain drum kit along a piece's written beats (its truth): in simple time a kick on the odd
    beats of the bar and a snare on the even ones (3/4: kick, snare, snare) and a closed hi-hat every
    half beat; in compound time a kick on the bar's first beat, a snare on the others and the hi-hat
    every third of a beat. Times in seconds of the rendering (a quarter at 60 a minute)."""
    places, per_bar, parts, compound = bar_places(truth)
    hits = []
    for b, place, following in places:
        kick = kicked(place, per_bar, compound)
        hits.append((b, 36 if kick else 38, 100 if kick else 90))
        for k in range(parts):
            hits.append((b + (following - b) * k / parts, 42, 60 if k == 0 else 48))
    return drum_file(hits)


def band_midi(truth, seed):
    """A band's kit along a piece's written beats, its sounds and pattern chosen by seed: a kick (one of
    two) on the bar's first beat and, in simple time, its other odd beats, in some pieces also on the
    last part of the beat before those after the first; a backbeat (snare, electric snare, side stick
    or hand clap) on the others; a time-keeper (closed, pedal or open hi-hat, ride, tambourine, cabasa
    or maracas) on every part of the beat or every other; in about half the pieces congas or a cowbell;
    in most, every fourth bar a fill on the toms over its last beat and a crash on the next downbeat.
    Velocities vary by a few steps."""
    rng = random.Random(seed)
    places, per_bar, parts, compound = bar_places(truth)
    kick = rng.choice([35, 36])
    backbeat = rng.choice([38, 40, 37, 39])
    keeper = rng.choice([42, 42, 44, 46, 51, 54, 69, 70])
    keep_every = rng.choice([1, 1, 2]) if not compound else 1
    sub = parts * rng.choice([1, 2]) if not compound else parts
    latin = rng.choice([None, None, "congas", "cowbell"])
    fills = rng.random() < 0.7
    push = rng.random() < 0.4
    hits, bar = [], -1

    def hit(t, key, velocity):
        hits.append((t, key, max(1, min(127, velocity + rng.randint(-12, 12)))))

    for i, (b, place, following) in enumerate(places):
        bar += place == 0
        step = (following - b) / sub
        last_of_fourth = bar % 4 == 3 and place == per_bar - 1
        if place == 0 and bar % 4 == 0 and bar > 0 and fills:
            hit(b, rng.choice([49, 57]), 100)
        if fills and last_of_fourth:
            toms = [50, 48, 47, 45, 43, 41]
            for k in range(sub):
                hit(b + k * step, toms[min(k * len(toms) // sub, len(toms) - 1)], 95)
            continue
        strong = kicked(place, per_bar, compound)
        hit(b, kick if strong else backbeat, 100 if strong else 90)
        if push and strong and place != 0 and i > 0:
            hit(b - (b - places[i - 1][0]) / parts, kick, 85)
        for k in range(0, sub, keep_every):
            hit(b + k * step, keeper, 64 if k == 0 else 50)
        if latin == "congas":
            for k in range(sub):
                if rng.random() < 0.5:
                    hit(b + k * step, rng.choice([62, 63, 64]), 80)
        elif latin == "cowbell":
            hit(b, 56, 70)
    return drum_file(hits)


def drum_file(hits):
    """A MIDI file of drum hits, each (seconds, key, velocity), on the percussion channel, a quarter at
    60 a minute."""
    events = []
    for seconds, key, velocity in hits:
        tick = round(seconds * 480)
        events.append((tick, 1, mido.Message("note_on", channel=DRUMS, note=key, velocity=velocity)))
        events.append((tick + 48, 0, mido.Message("note_off", channel=DRUMS, note=key, velocity=0)))
    mid = mido.MidiFile(type=0, ticks_per_beat=480)
    track = mido.MidiTrack()
    mid.tracks.append(track)
    track.append(mido.MetaMessage("set_tempo", tempo=1000000, time=0))
    now = 0
    for tick, _, msg in sorted(events, key=lambda e: (e[0], e[1])):
        track.append(msg.copy(time=tick - now))
        now = tick
    return mid


def add_kit(corpus, name, sf, dry, out, room=KIT):
    """The dry rendering with the drums of room (KIT: kit_midi, BAND: band_midi) added at a level
    seeded per piece (kit 0.3-0.7 of the music's peak-normalised one, band 0.3-0.8), its peak put at
    -1 dBFS."""
    import numpy as np
    with open(os.path.join(corpus, "truth", name + ".json")) as f:
        truth = json.load(f)
    if room == KIT:
        level = 0.3 + 0.4 * random.Random(zlib.crc32(name.encode())).random()
        drums_midi = kit_midi(truth)
    else:
        seed = zlib.crc32((name + "/" + BAND).encode())
        level = 0.3 + 0.5 * random.Random(seed).random()
        drums_midi = band_midi(truth, seed + 1)
    with tempfile.TemporaryDirectory(prefix="wide-kit-") as tmp:
        mid = os.path.join(tmp, "kit.mid")
        drums_midi.save(mid)
        drums = os.path.join(tmp, "kit.wav")
        beat_pieces.render(mid, drums, SOUNDFONTS[sf])
        rate, channels, x = beat_pieces.read_wave(dry)
        _, _, d = beat_pieces.read_wave(drums)
    mix = np.zeros((max(len(x), len(d)), channels))
    mix[:len(x)] += x
    mix[:len(d)] += d * level
    beat_pieces.write_wave(out, rate, mix * (0.891 * 32767 / np.abs(mix).max()))


def render_one(corpus, name, sf, room):
    """Renders one (piece, SoundFont, room) unless its files are there; returns the WAV path.
    A room or drums are put on the dry rendering (made first when missing)."""
    audio = os.path.join(corpus, "audio")
    wav = os.path.join(audio, f"{name}.{sf}.{room}.wav")
    if not os.path.exists(wav):
        with tempfile.TemporaryDirectory(prefix="wide-render-") as tmp:
            dry = os.path.join(tmp, "dry.wav")
            if room in KITS:
                add_kit(corpus, name, sf, render_one(corpus, name, sf, "dry"), dry, room)
            elif ROOMS[room]:
                wet = os.path.join(tmp, "wet.wav")
                # -R: sox's dither repeats, so a room rendering is the same on every run.
                subprocess.run(["sox", "-R", render_one(corpus, name, sf, "dry"), wet] + ROOMS[room], check=True)
                beat_pieces.normalise(wet, dry)
            else:
                beat_pieces.render(os.path.join(corpus, "ref", name + ".mid"), dry, SOUNDFONTS[sf])
            os.replace(dry, wav)
    small = wav[:-4] + ".mono22050.wav"
    if not os.path.exists(small):
        small_corpus.mono22050(wav, small + ".part")
        os.replace(small + ".part", small)
    return wav


def midi_bar_lines(path):
    """Seconds of the bar lines of a MIDI file from its own time signatures and tempo map, the
    partial first bar left out."""
    mid = mido.MidiFile(path)
    events, tick = [], 0
    for msg in mid.tracks[0]:
        tick += msg.time
        events.append((tick, msg))
    end = max(sum(m.time for m in t) for t in mid.tracks)
    signatures = [(t, m.numerator, m.denominator) for t, m in events if m.type == "time_signature"]
    tempi = [(t, m.tempo) for t, m in events if m.type == "set_tempo"]

    def seconds(at):
        total, prev, us = 0.0, 0, tempi[0][1]
        for when, value in tempi:
            if when > at:
                break
            total += (when - prev) * us / 1e6 / mid.ticks_per_beat
            prev, us = when, value
        return total + (at - prev) * us / 1e6 / mid.ticks_per_beat
    lines, at = [], signatures[1][0] if len(signatures) > 1 else 0
    while at < end:
        lines.append(seconds(at))
        num, den = [s[1:] for s in signatures if s[0] <= at][-1]
        at += num * mid.ticks_per_beat * 4 // den
    return lines


def check(corpus):
    """Problems of the references against their truth: a list of lines, empty when all agree."""
    problems = []
    for entry in load_manifest(corpus):
        name = entry["name"]
        with open(os.path.join(corpus, "truth", name + ".json")) as f:
            truth = json.load(f)
        ref = os.path.join(corpus, "ref", name + ".mid")
        lines = midi_bar_lines(ref)[:len(truth["downbeats"])]
        worst = max(abs(a - b) for a, b in zip(lines, truth["downbeats"]))
        if len(lines) != len(truth["downbeats"]) or worst > 0.001:
            problems.append(f"{name}: {len(lines)} bar lines, {len(truth['downbeats'])} downbeats, "
                            f"{worst * 1000:.1f} ms apart")
        if mido.MidiFile(ref).length > MAX_SECONDS + 1e-6:
            problems.append(f"{name}: longer than {MAX_SECONDS} s")
    return problems


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("command", choices=["manifest", "render", "list", "check"])
    ap.add_argument("--corpus", default=CORPUS)
    ap.add_argument("--split", choices=["dev", "held", "train"])
    ap.add_argument("--soundfont", action="append", choices=list(SOUNDFONTS))
    ap.add_argument("--room", action="append", choices=EVERY_ROOM,
                    help=f"a room of {', '.join(ROOMS)} (all of them by default), or {KIT} or {BAND}: the dry "
                         "rendering with drums")
    ap.add_argument("names", nargs="*")
    a = ap.parse_intermixed_args(argv)
    if a.command == "manifest":
        for e in write_manifest(a.corpus):
            print(f"{e['split']:4s} {e['name']:28s} {e['metre']:5s} {e['beat_bpm']:6.1f} "
                  f"pickup {e['pickup_beats']:4.2f} {e['duration_s']:5.1f} s {e['family']}")
        return 0
    if a.command == "check":
        problems = check(a.corpus)
        print("\n".join(problems) or "every reference agrees with its truth")
        return 1 if problems else 0
    entries = load_manifest(a.corpus)
    if a.command == "list":
        for e in entries:
            print(f"{e['split']:4s} {e['name']:28s} {e['metre']:5s} {e['beat_bpm']:6.1f} {e['source']}")
        return 0
    names = a.names or [e["name"] for e in entries if a.split in (None, e["split"])]
    for sf in a.soundfont or list(SOUNDFONTS):
        for room in a.room or list(ROOMS):
            for name in names:
                print(render_one(a.corpus, name, sf, room), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
