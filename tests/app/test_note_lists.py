"""Note lists (--notes) against the MIDI files they come from.

Usage: python3 test_note_lists.py BUILD_DIR

The bundled Prelude is transcribed with --notes p.csv; its MIDI file is read
with mido (a reader we did not write) and every note's onset, offset, pitch and
velocity must equal the list's, in the order of onsets. Two inputs with
--notes x.json give one JSON list beside each MIDI file, named like it, whose
notes equal the CSV's for the same options. A name that is neither .csv nor
.json is refused as a wrong command line.
"""
import csv
import json
import os
import subprocess
import tempfile
import unittest

from rendered import SOURCE_DIR, STARTER, mido

PRELUDE = os.path.join(SOURCE_DIR, "examples", "prelude.wav")
MINUET = os.path.join(SOURCE_DIR, "examples", "minuet-ritardando.wav")
SECONDS = 2e-6      # the lists round to the microsecond


def midi_notes(path):
    """(onset, offset, pitch, velocity) of every note, in seconds through the file's tempo map."""
    held, notes, now = {}, [], 0.0
    for msg in mido.MidiFile(path):
        now += msg.time
        if msg.type == "note_on" and msg.velocity > 0:
            held.setdefault((msg.channel, msg.note), []).append((now, msg.velocity))
        elif msg.type in ("note_off", "note_on") and held.get((msg.channel, msg.note)):
            onset, velocity = held[(msg.channel, msg.note)].pop(0)
            notes.append((onset, now, msg.note, velocity))
    return sorted(notes, key=lambda n: (round(n[0], 6), n[2]))


def csv_notes(path):
    with open(path, newline="") as f:
        rows = list(csv.reader(f))
    return rows[0], [(float(r[0]), float(r[1]), int(r[2]), int(r[3]), int(r[4]), float(r[5])) for r in rows[1:]]


def run(*args):
    return subprocess.run([STARTER, "-q", *args], capture_output=True, text=True, timeout=120)


class NoteLists(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def assert_same_notes(self, listed, written):
        self.assertEqual(len(listed), len(written))
        for got, want in zip(listed, written):
            self.assertAlmostEqual(got[0], want[0], delta=SECONDS)
            self.assertAlmostEqual(got[1], want[1], delta=SECONDS)
            self.assertEqual(got[2:4], want[2:4])

    def test_csv_equals_the_midi_file_read_by_mido(self):
        mid, notes = os.path.join(self.dir, "p.mid"), os.path.join(self.dir, "p.csv")
        r = run("--tempo", "66", PRELUDE, "-o", mid, "--notes", notes)
        self.assertEqual(r.returncode, 0, r.stderr)
        header, listed = csv_notes(notes)
        self.assertEqual(header, ["onset_s", "offset_s", "pitch", "velocity", "bar", "beat"])
        written = midi_notes(mid)
        self.assertGreater(len(written), 40)
        self.assert_same_notes(listed, written)
        self.assertEqual([n[:2] for n in listed], sorted(n[:2] for n in listed))
        # 66 quarter notes a minute in 4/4 from the first sample: bar and beat follow the seconds.
        for onset, _, _, _, bar, beat in listed:
            self.assertAlmostEqual((bar - 1) * 4 + beat - 1, onset * 66 / 60, delta=0.002)

    def test_several_inputs_get_a_json_list_beside_each_midi_file(self):
        out = os.path.join(self.dir, "out")
        os.mkdir(out)
        r = run("--tempo", "66", "-o", out, "--notes", "x.json", PRELUDE, MINUET)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(sorted(os.listdir(out)), ["minuet-ritardando.json", "minuet-ritardando.mid",
                                                   "prelude.json", "prelude.mid"])
        for name in ("prelude", "minuet-ritardando"):
            with open(os.path.join(out, name + ".json")) as f:
                listed = json.load(f)
            notes = [(n["onset_s"], n["offset_s"], n["pitch"], n["velocity"]) for n in listed["notes"]]
            self.assert_same_notes(notes, midi_notes(os.path.join(out, name + ".mid")))
            self.assertEqual(listed["time_signature"], {"numerator": 4, "denominator": 4})
            self.assertEqual(listed["tempo_map"][0], {"time_s": 0.0, "beats_per_minute": 66.0})
            for k in range(3):  # a MIDI tempo holds whole microseconds a quarter
                self.assertAlmostEqual(listed["beats"][k], k * 60 / 66, delta=1e-5)
            self.assertAlmostEqual(listed["downbeats"][1], 240 / 66, delta=1e-5)
            self.assertIn(listed["key"]["mode"], ("major", "minor"))
        csv_path = os.path.join(self.dir, "p.csv")
        self.assertEqual(run("--tempo", "66", PRELUDE, "-o", os.path.join(self.dir, "p.mid"),
                             "--notes", csv_path).returncode, 0)
        with open(os.path.join(out, "prelude.json")) as f:
            from_json = [(n["onset_s"], n["offset_s"], n["pitch"], n["velocity"]) for n in json.load(f)["notes"]]
        self.assert_same_notes(from_json, [n[:4] for n in csv_notes(csv_path)[1]])

    def test_other_names_are_refused(self):
        r = run(PRELUDE, "-o", os.path.join(self.dir, "p.mid"), "--notes", os.path.join(self.dir, "p.txt"))
        self.assertEqual(r.returncode, 9)
        self.assertIn(".csv or .json", r.stderr)
        self.assertEqual(os.listdir(self.dir), [])


if __name__ == "__main__":
    unittest.main()
