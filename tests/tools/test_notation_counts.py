"""The notation counter's round trip puts onsets on the 16th grid or the triplet grid as the score does.

Usage: python3 test_notation_counts.py [BUILD_DIR]

tools/eval/notation_counts.py compares a reference MIDI file's notes with MuseScore's reading of
our score, key and onset on the grid; a note is lost when it is read back on neither its nearest
16th nor its nearest sixth of a quarter.
"""
import os
import sys
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tools", "eval"))
import notation_counts  # noqa: E402


def found(reference, read_back):
    return len(notation_counts.found_on_grid(notation_counts.on_grid(reference), read_back))


class Grid(unittest.TestCase):
    def test_an_onset_halfway_between_16ths_goes_to_the_later_as_the_score_writes_it(self):
        # (key, quarters, seconds, channel): a reference onset at 46.625 quarters and the score's
        # note on the 16th after it, read back at 46.75; and one at 46.375 against 46.5.
        reference = [(69, 46.625, 0.0, 0), (70, 46.375, 0.0, 0)]
        self.assertEqual(found(reference, [(69, 46.75, 0.0, 0), (70, 46.5, 0.0, 0)]), 2)
        self.assertEqual(found(reference, [(69, 46.5, 0.0, 0), (70, 46.25, 0.0, 0)]), 0)

    def test_a_triplet_onset_is_found_on_its_third_or_its_16th_and_nowhere_else(self):
        reference = [(60, 1 + 1 / 3, 0.0, 0), (62, 2 + 5 / 6, 0.0, 0)]
        self.assertEqual(found(reference, [(60, 1 + 1 / 3, 0.0, 0), (62, 2 + 5 / 6, 0.0, 0)]), 2)
        self.assertEqual(found(reference, [(60, 1.25, 0.0, 0), (62, 2.75, 0.0, 0)]), 2)
        self.assertEqual(found(reference, [(60, 1.5, 0.0, 0), (62, 3.0, 0.0, 0), (64, 1 + 1 / 3, 0.0, 0)]), 0)

    def test_nearest_points_and_distinct_notes(self):
        # A unison on two channels is one note; 1.1 and 1.0 share their 16th but not their sixth.
        notes = [(60, 1.1, 0.0, 0), (60, 1.0, 0.0, 1), (60, 1.0, 0.0, 2), (62, 0.12, 0.0, 0), (62, 0.13, 0.0, 0)]
        self.assertEqual(notation_counts.on_grid(notes), {(60, 4, 7), (60, 4, 6), (62, 0, 1), (62, 1, 1)})


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
