"""The learned choice among metre readings: its labels and the gradients its fit follows.

Usage: python3 test_metre_learn.py [BUILD_DIR]

tools/eval/metre_learn.py labels each reading of the starter's dump as run_wide.py judges the
starter, and fits a conditional logit by its analytic gradients; a wrong label or gradient would
quietly misjudge every leave-one-piece-out figure.
"""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from system_python import need  # noqa: E402

need("numpy", "scipy.optimize", skip=True)
import numpy as np  # noqa: E402
from scipy.optimize import check_grad  # noqa: E402

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tools", "eval"))
import metre_learn  # noqa: E402

TRUTH = {"beat_bpm_median": 100.0, "metre": "3/4", "downbeats": [1.0, 2.8]}


def reading(bpm, numerator, first):
    return {"bpm": bpm, "numerator": numerator, "firstDownbeat": first}


class Labels(unittest.TestCase):
    def test_beat_numerator_and_downbeat_within_their_tolerances(self):
        self.assertEqual(list(metre_learn.judged(reading(103.9, 3, 1.069), TRUTH)), [1, 1, 1])
        self.assertEqual(list(metre_learn.judged(reading(96.1, 6, 0.931), TRUTH)), [1, 0, 1])
        self.assertEqual(list(metre_learn.judged(reading(104.1, 3, 1.071), TRUTH)), [0, 1, 0])
        self.assertEqual(list(metre_learn.judged(reading(50, 3, 2.8), TRUTH)), [0, 1, 0])
        # No downbeat listed (-1) is never the first one.
        self.assertEqual(list(metre_learn.judged(reading(0, 4, -1), dict(TRUTH, downbeats=[-1.0]))), [0, 0, 0])


class Gradients(unittest.TestCase):
    def data(self):
        rng = np.random.default_rng(1)
        out = []
        for k in range(6):
            n = 5 + k
            right = rng.integers(0, 2, size=(n, 3))
            out.append(dict(piece=f"p{k % 3}", X=rng.normal(size=(n, len(metre_learn.FEATURES))), right=right))
        out.append(dict(piece="none", X=rng.normal(size=(4, len(metre_learn.FEATURES))),
                        right=np.zeros((4, 3), dtype=int)))
        return out

    def test_each_objective_matches_its_numerical_gradient(self):
        data = self.data()
        w = metre_learn.HAND + np.random.default_rng(2).normal(scale=0.3, size=len(metre_learn.HAND))
        for objective in ("best", "share", "expected"):
            packed = metre_learn.pack(data, objective)
            err = check_grad(lambda v: metre_learn.loss(v, packed, 0.1)[0],
                             lambda v: metre_learn.loss(v, packed, 0.1)[1], w)
            self.assertLess(err, 1e-5, objective)

    def test_the_penalty_keeps_the_hand_set_weights_where_it_dominates(self):
        w = metre_learn.fit(self.data(), 1e6, "best")
        self.assertTrue(np.allclose(w, metre_learn.HAND, atol=1e-3))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
