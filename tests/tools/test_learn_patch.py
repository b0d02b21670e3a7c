"""The patches of spectra a network judges the proposals from, and the folds it is fitted on.

Usage: python3 test_learn_patch.py [BUILD_DIR]

tools/eval/learn_patch.py measures whether a network reading the spectra around each proposal tells
right from wrong ones better than the acceptance's trees. A patch read a key or a hop off, or a
network fitted on the piece it judges (a training piece made of its music, or its own fold in the
nested figure), would give a figure that means nothing.
"""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from system_python import need  # noqa: E402

need("numpy", "scipy", "sklearn", "mir_eval", skip=True)
import numpy as np  # noqa: E402

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tools", "eval"))
try:
    import learn_patch as lp  # noqa: E402
except ImportError as e:  # the shared scorer the evaluation reads is not on this machine
    print(f"skipped: {e}")
    sys.exit(77)


class Spectra(unittest.TestCase):
    def test_a_tone_is_loudest_at_its_key_in_both_windows(self):
        t = np.arange(int(lp.RATE * 1.0)) / lp.RATE
        # A6: the short window's bins, 43 Hz apart, part keys from about F5 up.
        tone = 0.5 * np.sin(2 * np.pi * 1760 * t)
        for window in lp.WINDOWS:
            levels = lp.key_levels(tone, window)
            self.assertEqual(levels.shape, (101, lp.KEY_COUNT))
            middle = levels[50]
            self.assertEqual(int(np.argmax(middle)) + lp.LOWEST_KEY, 93, window)
            self.assertAlmostEqual(float(middle.max()), 0, delta=0.5)
            self.assertLess(middle[93 - lp.LOWEST_KEY - 5], -20, window)
        # Before the tone (the padding) every key lies on the floor.
        silent = lp.key_levels(np.concatenate([np.zeros(lp.RATE // 2), tone]), 512)
        self.assertTrue(np.all(silent[10] == lp.FLOOR_DB))

    def test_a_patch_holds_the_keys_and_hops_around_its_proposal(self):
        hops = 300
        grid = (np.arange(hops)[:, None] * 1000 + np.arange(lp.KEY_COUNT)[None, :]).astype(float)
        patch = lp.patches_of([grid, -grid], [1.0, 0.02], [60, 100])
        self.assertEqual(patch.shape, (2, 2, lp.KEYS_BELOW + lp.KEYS_ABOVE + 1, lp.HOPS_BEFORE + lp.HOPS_AFTER + 1))
        # Its own key at its own hop, then a key above and a hop later.
        self.assertEqual(patch[0, 0, lp.KEYS_BELOW, lp.HOPS_BEFORE], 100 * 1000 + 60 - lp.LOWEST_KEY)
        self.assertEqual(patch[0, 0, lp.KEYS_BELOW + 7, lp.HOPS_BEFORE + 3], 103 * 1000 + 67 - lp.LOWEST_KEY)
        self.assertEqual(patch[0, 1, lp.KEYS_BELOW, lp.HOPS_BEFORE], -(100 * 1000 + 60 - lp.LOWEST_KEY))
        # Near the start and the top of the keyboard the cells outside lie on the floor.
        self.assertTrue(np.all(patch[1, :, :, :lp.HOPS_BEFORE - 2] == lp.FLOOR_DB))
        self.assertEqual(patch[1, 0, lp.KEYS_BELOW, lp.HOPS_BEFORE - 2], 100 - lp.LOWEST_KEY)
        self.assertTrue(np.all(patch[1, :, lp.KEYS_BELOW + 108 - 100 + 1:, :] == lp.FLOOR_DB))


class Folds(unittest.TestCase):
    def setUp(self):
        self.fitted = []
        self.saved = lp.fit_network, lp.chances
        lp.fit_network = lambda parts, rng, hidden=None: self.fitted.append(sorted(p[0][0, 0] for p in parts)) or None
        lp.chances = lambda network, x: np.zeros(len(x))

    def tearDown(self):
        lp.fit_network, lp.chances = self.saved

    def test_no_network_judging_a_fold_has_seen_it(self):
        # Six development files in three folds (each file's first input names it), and three extra
        # files: one of no development piece's music, one made of a piece of fold 0, one of fold 2.
        folds = np.array([0, 0, 1, 1, 2, 2])
        dev = [(np.full((1, 2), float(i)), np.zeros(1, bool)) for i in range(6)]
        extra = [((np.full((1, 2), 10.0), np.zeros(1, bool)), None),
                 ((np.full((1, 2), 11.0), np.zeros(1, bool)), 0),
                 ((np.full((1, 2), 12.0), np.zeros(1, bool)), 2)]
        out = lp.out_of_fold(dev, folds, extra, [0, 1, 2], [0, 1, 2], None)
        self.assertEqual(sorted(out), list(range(6)))
        self.assertEqual(self.fitted, [[2, 3, 4, 5, 10, 12], [0, 1, 4, 5, 10, 11, 12], [0, 1, 2, 3, 10, 11]])
        # Within the fitting folds of fold 2 (the nested figure): neither fold 2 nor its music.
        self.fitted.clear()
        lp.out_of_fold(dev, folds, extra, [0, 1], [0, 1], None)
        self.assertEqual(self.fitted, [[2, 3, 10], [0, 1, 10, 11]])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
