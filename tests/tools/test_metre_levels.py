"""The metre judge names the level of a tempo found against the written beat.

Usage: python3 test_metre_levels.py [BUILD_DIR]

tools/eval/metre.py judges the starter's --beats listings for run_wide.py; the
level it names (found tempo over written) is how misses are counted by kind.
"""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from system_python import need  # noqa: E402

need("mido")  # tools/render, which the judge imports, reads MIDI with it

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tools", "eval"))
import metre  # noqa: E402


class Levels(unittest.TestCase):
    def test_simple_ratios_within_six_percent(self):
        for found, name in ((100, "1"), (50, "1/2"), (205, "2"), (66.7, "2/3"), (150, "3/2"), (33.3, "1/3"),
                            (300, "3"), (0, "none"), (None, "none")):
            self.assertEqual(metre.level_name(found, 100), name, found)

    def test_three_beats_against_four_are_named(self):
        # A pulse of three beats to a 4/4 bar (3+3+2 syncopation) and four to a 3/4 bar.
        self.assertEqual(metre.level_name(76.5, 100), "3/4")
        self.assertEqual(metre.level_name(131, 100), "4/3")
        self.assertEqual(metre.level_name(118, 100), "other")

    def test_judge_reports_the_level(self):
        ref = {"tempo": 120, "metre": (4, 4), "downbeats": [0.5]}
        found = {"tempo": 90.5, "metre": (4, 4), "downbeats": [0.51], "beats": [0.51]}
        self.assertEqual(metre.judge(ref, found), (False, True, True, "3/4", 0.51))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
