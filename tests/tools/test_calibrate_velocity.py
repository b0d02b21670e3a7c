"""The velocity calibration is reproducible and the starter uses what it prints.

Usage: python3 test_calibrate_velocity.py BUILD_DIR

tools/calibrate/velocity.py fitted again on the levels it measured and saved
(tools/calibrate/velocity_levels.txt) prints the constants that
app/starter/refine/velocity.cpp holds; a fit on levels made up from a known
line finds that line.
"""
import os
import re
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from system_python import need  # noqa: E402

need("numpy", "mido")  # the tool fits with numpy and reads MIDI with mido

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
TOOL = os.path.join(ROOT, "tools", "calibrate", "velocity.py")
SOURCE = os.path.join(ROOT, "app", "starter", "refine", "velocity.cpp")
CONSTANT = re.compile(r"constexpr double (LevelPer\w+) = ([-0-9.]+);")


def printed(levels):
    out = subprocess.run([sys.executable, TOOL, "--levels", levels], capture_output=True, text=True, check=True)
    return dict(CONSTANT.findall(out.stdout))


class Calibration(unittest.TestCase):
    def test_the_saved_levels_give_the_constants_in_the_source(self):
        with open(SOURCE) as f:
            source = dict(CONSTANT.findall(f.read()))
        got = printed(os.path.join(ROOT, "tools", "calibrate", "velocity_levels.txt"))
        self.assertEqual(set(got), {"LevelPerVelocity"})
        for name, value in got.items():
            self.assertEqual(source.get(name), value, name)

    def test_a_known_line_is_found(self):
        # level = offset + 0.2 dB a velocity step - 0.05 dB a semitone, one offset per file.
        with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as f:
            for sf, offset in (("fluid", -30), ("musescore", -25), ("timgm", -33)):
                for key in (48, 60, 72):
                    for v in (30, 60, 90, 120):
                        f.write(f"{sf} 0 {key} {v} {offset + 0.2 * v - 0.05 * (key - 60):.3f}\n")
        try:
            got = printed(f.name)
        finally:
            os.unlink(f.name)
        self.assertEqual(got, {"LevelPerVelocity": "0.200"})


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
