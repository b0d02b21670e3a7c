"""The page's committed notation library is the version web/package.json pins.

Usage: python3 test_web_vendor.py BUILD_DIR

web/vendor.sh copies the built file of the pinned OpenSheetMusicDisplay into
web/page/vendor/; this checks that the lock file resolves the pin exactly and
that the committed file says it is that version, so a change of the pin
without running web/vendor.sh (or a hand-edited file) fails.
"""
import json
import os
import sys
import unittest

sys.argv[1:2] = []
SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
WEB = os.path.join(SOURCE_DIR, "web")


class Vendored(unittest.TestCase):
    def test_the_committed_file_is_the_pinned_version(self):
        with open(os.path.join(WEB, "package.json")) as f:
            pinned = json.load(f)["dependencies"]["opensheetmusicdisplay"]
        with open(os.path.join(WEB, "package-lock.json")) as f:
            locked = json.load(f)["packages"]["node_modules/opensheetmusicdisplay"]["version"]
        self.assertEqual(pinned, locked)
        self.assertRegex(pinned, r"^\d+\.\d+\.\d+$")  # an exact version, not a range
        with open(os.path.join(WEB, "page", "vendor", "opensheetmusicdisplay.min.js"), encoding="utf-8") as f:
            self.assertIn(f'"{pinned}-release"', f.read())
        self.assertTrue(os.path.exists(os.path.join(WEB, "page", "vendor", "opensheetmusicdisplay.LICENSE.txt")))


if __name__ == "__main__":
    unittest.main()
