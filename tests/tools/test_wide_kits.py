"""The corpus's drum kits fall on the written beats of the piece they are laid under.

Usage: python3 test_wide_kits.py [BUILD_DIR]

tools/render/wide.py lays a plain kit (`kit`) or a band's kit chosen per piece
(`band`) along a piece's truth; the refinement's models learn from those
renderings and the metre is measured on them, so a hit off the written beats
would teach and measure the wrong thing.
"""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from system_python import need  # noqa: E402

need("mido")  # the corpus's renderer writes the kits with it

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tools", "render"))
import wide  # noqa: E402

TOMS = {41, 43, 45, 47, 48, 50}
CRASHES = {49, 57}


def hits(mid):
    """(seconds, key) of every note-on of a kit file (a quarter at 60 a minute, 480 ticks)."""
    out, tick = [], 0
    for msg in mid.tracks[0]:
        tick += msg.time
        if msg.type == "note_on":
            assert msg.channel == wide.DRUMS
            out.append((tick / 480, msg.note))
    return out


def truth(metre, beats, seconds_a_beat, pickup=0):
    """Written beats a little uneven (rubato) with a bar line after `pickup` beats; compound time
    counts its dotted beats."""
    times = [0.5 + seconds_a_beat * (i + 0.013 * (i % 3)) for i in range(beats)]
    numerator = int(metre.split("/")[0])
    per_bar = numerator // 3 if metre in ("6/8", "12/8") else numerator
    return {"beats": times, "downbeats": times[pickup::per_bar], "metre": metre}


def places(t, parts):
    """Every written beat and each of its parts (seconds), the beat's length running to the next."""
    return [b + (following - b) * k / parts for b, _, following in wide.bar_places(t)[0] for k in range(parts)]


class Kits(unittest.TestCase):
    PIECES = [("4/4", 40, 0.5, 1), ("3/4", 30, 0.45, 2), ("2/4", 24, 0.6, 0), ("6/8", 24, 0.7, 0),
              ("12/8", 24, 0.6, 0)]

    def test_every_hit_lies_on_a_beat_or_a_part_of_it(self):
        for metre, count, spb, pickup in self.PIECES:
            t = truth(metre, count, spb, pickup)
            # Quarters of a simple beat (a band's time-keeper may play four), thirds of a compound
            # one; a kick pushed before a beat falls on one of them too.
            compound = metre in ("6/8", "12/8")
            allowed = places(t, 3 if compound else 4)
            kits = [("kit", wide.kit_midi(t))] + [(f"band {seed}", wide.band_midi(t, seed)) for seed in range(24)]
            for name, mid in kits:
                for seconds, key in hits(mid):
                    nearest = min(abs(seconds - p) for p in allowed)
                    self.assertLess(nearest, 0.0011, f"{metre} {name}: key {key} at {seconds:.3f} s")

    def test_band_kits_differ_by_seed_and_repeat_for_one(self):
        t = truth("4/4", 40, 0.5, 0)
        self.assertEqual(hits(wide.band_midi(t, 7)), hits(wide.band_midi(t, 7)))
        sounds = {frozenset(k for _, k in hits(wide.band_midi(t, seed))) for seed in range(24)}
        self.assertGreater(len(sounds), 12)

    def test_a_fill_ends_every_fourth_bar_and_a_crash_follows(self):
        t = truth("4/4", 40, 0.5, 0)
        for seed in range(24):
            h = hits(wide.band_midi(t, seed))
            toms = [s for s, k in h if k in TOMS]
            if not toms:
                continue
            for bar in (3, 7):
                last_beat, next_bar = t["beats"][bar * 4 + 3], t["beats"][bar * 4 + 4]
                on_it = [k for s, k in h if last_beat - 0.001 < s < next_bar - 0.001]
                self.assertTrue(on_it and set(on_it) <= TOMS, f"seed {seed}, bar {bar}: {on_it}")
                self.assertTrue(any(k in CRASHES and abs(s - next_bar) < 0.001 for s, k in h), f"seed {seed}")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
