"""Time zero of the written files, judged on a rendered piece with a pick-up.

Usage: python3 test_time_zero.py BUILD_DIR

Oh! Susanna from tools/render/beat_pieces.py: 2/4 at 104 quarter notes a
minute, starting with a pick-up of one beat (577 ms) on its first sample.
Rendered once with fluidsynth and FluidR3 GM; the whole file takes about 15 s.

Checks, with no shift of any kind:
  - the MIDI file (default run, and --quantize): its first note within 50 ms
    of the first note played; a first bar as long as the pick-up (a time
    signature of 1/4), then the piece's time signature at the first downbeat
    heard, within 70 ms of it; every later bar line within 70 ms of a true
    bar line (a bar of two written bars is accepted: the metre is judged
    elsewhere);
  - the MusicXML file: a first measure numbered 0 and implicit, one quarter
    note long, and its first note the piece's first;
  - --beats: no beat listed before the start of the file.

And in compound time (Pop Goes the Weasel, 6/8 at 100 dotted quarters a
minute), read with mido: a time signature of 6/8 clicking every 36 MIDI
clocks (the dotted quarter), a tempo in microseconds a quarter note that
gives the dotted beat heard, the notes at the times they were played; the
summary and the score's metronome mark speak of the same dotted beat.
"""
import bisect
import json
import os
import re
import shutil
import subprocess
import tempfile
import unittest
import xml.etree.ElementTree as ET

from rendered import STARTER, beat_pieces, mido, note_ons, require_renderer

PIECE = "susanna-104"
COMPOUND = "weasel-100"
TEMPO_TOLERANCE = 0.04     # share of the true dotted beat's tempo
FIRST_NOTE_WINDOW = 0.050  # seconds between the first note written and the first played
BAR_WINDOW = 0.070         # seconds between a bar line written and a true one


def midi_timeline(path):
    """(first note onset in seconds, [(seconds, numerator, denominator) of every time signature], bar lines in seconds)."""
    midi = mido.MidiFile(path)
    events, tick = [], 0
    for msg in midi.tracks[0]:
        tick += msg.time
        events.append((tick, msg))
    tempo, last_tick, seconds = 500000, 0, 0.0
    first_note, signatures = None, []
    for tick, msg in events:
        seconds += mido.tick2second(tick - last_tick, midi.ticks_per_beat, tempo)
        last_tick = tick
        if msg.type == "set_tempo":
            tempo = msg.tempo
        elif msg.type == "time_signature":
            signatures.append((seconds, tick, msg.numerator, msg.denominator))
        elif msg.type == "note_on" and msg.velocity > 0 and first_note is None:
            first_note = seconds
    return first_note, signatures, midi, events


def bar_lines(midi, events, signatures, count):
    """Seconds of the first `count` bar lines from the last time signature on (ticks per quarter note)."""
    _, start, numerator, denominator = signatures[-1]
    bar = numerator * midi.ticks_per_beat * 4 // denominator
    wanted = [start + k * bar for k in range(count)]
    tempo, last_tick, seconds, out = 500000, 0, 0.0, []
    tempos = [(t, m.tempo) for t, m in events if m.type == "set_tempo"]
    for target in wanted:
        while True:
            upcoming = [t for t, _ in tempos if last_tick < t <= target]
            step_to = upcoming[0] if upcoming else target
            seconds += mido.tick2second(step_to - last_tick, midi.ticks_per_beat, tempo)
            last_tick = step_to
            changes = [us for t, us in tempos if t == last_tick]
            if changes:
                tempo = changes[-1]
            if last_tick == target:
                break
        out.append(seconds)
    return out


def measure_length(measure):
    """Divisions spanned by a MusicXML measure (notes, backups and forwards)."""
    position = longest = 0
    for child in measure:
        duration = child.find("duration")
        if child.tag == "note" and child.find("chord") is None and duration is not None:
            position += int(duration.text)
        elif child.tag == "backup":
            position -= int(duration.text)
        elif child.tag == "forward":
            position += int(duration.text)
        longest = max(longest, position)
    return longest


def rendered(folder, piece):
    """The piece rendered into folder: its reference (beats, downbeats, notes) and its WAV file."""
    paths = beat_pieces.write(folder, piece, wav=True)
    with open(paths["json"]) as f:
        return json.load(f), paths["wav"]


class TimeZero(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        require_renderer()
        cls.folder = tempfile.mkdtemp(prefix="sonoscriptor-time-zero-")
        cls.ref, cls.wav = rendered(cls.folder, PIECE)
        cls.runs = {}
        for name, extra in (("plain", []), ("quantized", ["--quantize"])):
            out = os.path.join(cls.folder, name + ".mid")
            cls.runs[name] = subprocess.run([STARTER, "--format", "both", "-o", out, cls.wav] + extra,
                                            capture_output=True, text=True, timeout=300)
        cls.beats = subprocess.run([STARTER, "--beats", cls.wav], capture_output=True, text=True, timeout=120)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def test_midi_notes_and_bars_lie_where_they_sound(self):
        first_played = min(self.ref["beats"][0], self.ref["downbeats"][0])
        for name, run in self.runs.items():
            with self.subTest(name):
                self.assertEqual(run.returncode, 0, run.stderr)
                first, signatures, midi, events = midi_timeline(os.path.join(self.folder, name + ".mid"))
                self.assertAlmostEqual(first, first_played, delta=FIRST_NOTE_WINDOW)
                self.assertGreaterEqual(len(signatures), 2, "a pick-up bar, then the metre")
                self.assertEqual(signatures[0][0], 0.0)
                self.assertEqual((signatures[0][2], signatures[0][3]), (1, 4), "a pick-up of one quarter note")
                downbeats = self.ref["downbeats"]
                self.assertAlmostEqual(signatures[-1][0], downbeats[0], delta=BAR_WINDOW)
                for at in bar_lines(midi, events, signatures, 12):
                    if at > downbeats[-1] + BAR_WINDOW:
                        break  # past the piece's last bar (bars of two written bars reach it sooner)
                    nearest = min(downbeats, key=lambda d: abs(d - at))
                    self.assertAlmostEqual(at, nearest, delta=BAR_WINDOW)

    def test_musicxml_starts_with_the_pick_up_as_an_implicit_measure(self):
        for name in self.runs:
            with self.subTest(name):
                root = ET.parse(os.path.join(self.folder, name + ".musicxml")).getroot()
                measures = root.find("part").findall("measure")
                first = measures[0]
                self.assertEqual(first.get("number"), "0")
                self.assertEqual(first.get("implicit"), "yes")
                divisions = int(first.find("attributes/divisions").text)
                self.assertEqual(measure_length(first), divisions, "one quarter note")
                self.assertIsNone(first.find("note").find("rest"), "the first note sounds at once")
                self.assertEqual(measures[1].get("number"), "1")

    def test_no_beat_is_listed_before_the_start(self):
        self.assertEqual(self.beats.returncode, 0, self.beats.stderr)
        times = [float(line.split()[0]) for line in self.beats.stdout.splitlines() if not line.startswith("#")]
        self.assertTrue(times)
        self.assertGreaterEqual(min(times), 0.0)


class CompoundTime(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        require_renderer()
        cls.folder = tempfile.mkdtemp(prefix="sonoscriptor-compound-")
        cls.ref, wav = rendered(cls.folder, COMPOUND)
        cls.out = os.path.join(cls.folder, "weasel.mid")
        cls.result = subprocess.run([STARTER, "--format", "both", "-o", cls.out, wav],
                                 capture_output=True, text=True, timeout=300)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def played(self):
        """(seconds, key) of the reference notes: their onsets in beats on the true beats."""
        beats = self.ref["beats"]
        out = []
        for onset, key in self.ref["notes"]:
            i = min(int(onset), len(beats) - 2)
            out.append((beats[i] + (onset - i) * (beats[i + 1] - beats[i]), key))
        return out

    def test_midi_counts_quarters_and_clicks_on_the_dotted_beat(self):
        self.assertEqual(self.result.returncode, 0, self.result.stderr)
        _, _, midi, events = midi_timeline(self.out)
        metre = [m for _, m in events if m.type == "time_signature"][-1]
        self.assertEqual((metre.numerator, metre.denominator, metre.clocks_per_click), (6, 8, 36))
        written = note_ons(self.out)
        first = written[0][0]
        onsets = [t for t, m in events if m.type == "note_on" and m.velocity > 0]
        middle = onsets[len(onsets) // 2]
        tempo = [m.tempo for t, m in events if m.type == "set_tempo" and t <= middle][-1]  # the tempo mid-piece
        dotted = 60e6 / tempo * 2 / 3  # a dotted quarter is three eighths, two of them a quarter
        self.assertLessEqual(abs(dotted / self.ref["tempo"] - 1), TEMPO_TOLERANCE, f"{tempo} us a quarter")
        self.assertGreater(first, -1e-9)
        # The notes written lie within 50 ms of a note played on their key, counted from the file's start.
        by_key = {}
        for seconds, key in self.played():
            by_key.setdefault(key, []).append(seconds)
        found = 0
        for seconds, key in written:
            times = sorted(by_key.get(key, []))
            i = bisect.bisect_left(times, seconds)
            found += any(abs(times[j] - seconds) <= FIRST_NOTE_WINDOW for j in (i - 1, i) if 0 <= j < len(times))
        self.assertGreaterEqual(found / len(written), 0.8, f"{found} of {len(written)} written")

    def test_summary_and_score_speak_of_the_dotted_beat(self):
        self.assertEqual(self.result.returncode, 0, self.result.stderr)
        match = re.search(r"Tempo: ([0-9.]+) dotted-quarter beats per minute", self.result.stdout)
        self.assertIsNotNone(match, self.result.stdout)
        self.assertLessEqual(abs(float(match.group(1)) / self.ref["tempo"] - 1), TEMPO_TOLERANCE)
        root = ET.parse(os.path.splitext(self.out)[0] + ".musicxml").getroot()
        metronome = root.find(".//metronome")
        self.assertEqual(metronome.find("beat-unit").text, "quarter")
        self.assertIsNotNone(metronome.find("beat-unit-dot"))
        self.assertLessEqual(abs(float(metronome.find("per-minute").text) / self.ref["tempo"] - 1), TEMPO_TOLERANCE)


if __name__ == "__main__":
    unittest.main()
