"""The notation counter's round trip puts onsets on the 16th grid as the score does.

Usage: python3 test_notation_counts.py [BUILD_DIR]

tools/eval/notation_counts.py compares a reference MIDI file's notes with MuseScore's reading of
our score, key and onset on the 16th grid; a note is lost when its grid onset differs.
"""
import os
import sys
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tools", "eval"))
import notation_counts  # noqa: E402


class Grid(unittest.TestCase):
    def test_an_onset_halfway_between_16ths_goes_to_the_later_as_the_score_writes_it(self):
        # (key, quarters, seconds, channel): a reference onset at 46.625 quarters and the score's
        # note on the 16th after it, read back at 46.75; and one at 46.375 against 46.5.
        reference = [(69, 46.625, 0.0, 0), (70, 46.375, 0.0, 0)]
        read_back = [(69, 46.75, 0.0, 0), (70, 46.5, 0.0, 0)]
        self.assertEqual(notation_counts.on_grid(reference), notation_counts.on_grid(read_back))

    def test_nearest_16th_and_distinct_notes(self):
        notes = [(60, 1.1, 0.0, 0), (60, 1.0, 0.0, 1), (62, 0.12, 0.0, 0), (62, 0.13, 0.0, 0)]
        self.assertEqual(notation_counts.on_grid(notes), {(60, 4), (62, 0), (62, 1)})


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
