"""The corpus's training pieces never carry music of the held-out half.

Usage: python3 test_wide_split.py [BUILD_DIR]

The refinement's models are fitted on the development half and on training
pieces (other bars of the development pieces' sources, tunes in neither half,
and the development half's written pieces transposed and played by other
instruments); the held-out half judges them. A training piece cut from a
held-out piece's file, or named after one, would let the models see the music
they are judged on.
"""
import json
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from system_python import need  # noqa: E402

need("mido")  # the corpus's pieces are read with it

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tools", "render"))
import wide_pieces  # noqa: E402


class TrainingPieces(unittest.TestCase):
    def setUp(self):
        with open(os.path.join(ROOT, "tools", "render", "wide_split.json")) as f:
            self.split = json.load(f)
        self.of = {p.name: p for p in wide_pieces.PIECES}

    def names(self, half):
        return [n for n, v in self.split.items() if v["split"] == half]

    def test_every_piece_has_one_split(self):
        self.assertEqual(set(self.split), set(self.of))
        for name, v in self.split.items():
            self.assertIn(v["split"], ("dev", "held", "train"), name)
            self.assertEqual(v["split"] == "train", name.startswith("train-"), name)

    def test_no_training_piece_shares_a_held_out_source_or_origin(self):
        held_sources = {self.of[n].source for n in self.names("held")}
        dev = set(self.names("dev"))
        trained = self.names("train")
        self.assertGreater(len(trained), 0)
        for name in trained:
            piece = self.of[name]
            self.assertNotIn(piece.source, held_sources, name)
            if piece.origin is not None:
                self.assertIn(piece.origin, dev, name)
                self.assertEqual(piece.source, self.of[piece.origin].source, name)

    def test_a_piece_made_of_another_names_it(self):
        # other bars of a development song, or a written piece played again, carry its music:
        # the out-of-fold fits keep them out of that piece's fold by this name
        for name in self.names("train"):
            piece = self.of[name]
            shared = [n for n in self.names("dev") if self.of[n].source == piece.source]
            if shared:
                self.assertEqual(piece.origin, shared[0], name)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
