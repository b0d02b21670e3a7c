"""Notes of slow-speaking pipes where they sound, judged on a rendered organ chorale.

Usage: python3 test_slow_attacks.py BUILD_DIR

A chorale written for this test: 27 four-part chords, mostly quarter notes,
at 58 beats a minute, every voice moving at once and common tones struck
again, played legato on FluidR3 GM's church organ (about 33 s). Under such a chord
a low pipe whose partials the chord before still sounds reaches its attack
50 to 75 ms after the keys around it, and the engine writes it a grid step
late; moved to that attack, the note missed its onset by more than the 50 ms
a note is matched within, and a constant shift of -30 ms matched more notes
than none (43 against 40 of 108: the file was not aligned).

Checks, with no shift of any kind, on the default run's MIDI file:
  - no constant shift of the output (10 ms steps, +-100 ms) matches more
    notes than none;
  - at least LEAST_BASS of the chords' lowest notes are found within 50 ms
    (measured: 14 of 27 before the moved notes were started with their
    chord, 17 after).
"""
import os
import shutil
import subprocess
import tempfile
import unittest

from rendered import STARTER, beat_pieces, matches, mido, require_renderer

TOLERANCE = 0.05
LEAST_BASS = 16
ORGAN = 19
# Chords from the bass up with their lengths in beats, bars of four.
G, C, D, E, A = (43, 50, 55, 59), (36, 52, 55, 60), (38, 50, 54, 57), (40, 52, 55, 59), (33, 52, 57, 60)
CHORDS = [
    (G, 1), (G, 1), (C, 1), (D, 1), (G, 1), (E, 1), (A, 1), (D, 1),
    (G, 1), ((43, 50, 55, 62), 1), (C, 1), (C, 1), (D, 2), (G, 2),
    (E, 1), (E, 1), (A, 1), (A, 1), (D, 1), ((38, 50, 54, 62), 1), (G, 1), (G, 1),
    (C, 1), (A, 1), (D, 1), (D, 1), (G, 4),
]
BPM = 58
# Loudness by beat of the bar, as a player leans on the first and third.
VELOCITIES = (105, 80, 95, 80)


def chorale(path):
    """Writes the chorale an octave up from CHORDS (the tenor and bass at organ pitch), each chord a
    tick after its beat and ending on the next; returns (onset, key) of every note and of the lowest
    of each chord."""
    tpq = 480
    track = mido.MidiTrack([mido.MetaMessage("set_tempo", tempo=mido.bpm2tempo(BPM)),
                            mido.Message("program_change", channel=0, program=ORGAN)])
    events, beat, onsets = [], 0, []
    for chord, beats in CHORDS:
        onsets.append((beat * tpq + 1, chord))
        for key in chord:
            events.append((beat * tpq + 1, 1, key + 12, VELOCITIES[beat % 4]))
            events.append(((beat + beats) * tpq, 0, key + 12, 0))
        beat += beats
    now = 0
    for at, on, key, velocity in sorted(events):
        track.append(mido.Message("note_on" if on else "note_off", note=key, velocity=velocity, time=at - now))
        now = at
    midi = mido.MidiFile(ticks_per_beat=tpq)
    midi.tracks.append(track)
    midi.save(path)
    seconds = 60.0 / BPM / tpq
    notes = [(at * seconds, key + 12) for at, chord in onsets for key in chord]
    return notes, [(at * seconds, chord[0] + 12) for at, chord in onsets]


def played(path):
    """(seconds as the file plays, key) of every note-on."""
    notes, now = [], 0.0
    for msg in mido.MidiFile(path):
        now += msg.time
        if msg.type == "note_on" and msg.velocity > 0:
            notes.append((now, msg.note))
    return notes


class SlowAttacks(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        require_renderer()
        cls.tmp = tempfile.mkdtemp(prefix="sonoscriptor-slow-")
        reference = os.path.join(cls.tmp, "chorale.mid")
        cls.notes, cls.bass = chorale(reference)
        wav = os.path.join(cls.tmp, "chorale.wav")
        beat_pieces.render(reference, wav)
        out = os.path.join(cls.tmp, "out.mid")
        subprocess.run([STARTER, wav, "-o", out], check=True, stdout=subprocess.DEVNULL)
        cls.out = played(out)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def test_no_shift_matches_more_notes_than_none(self):
        unshifted = matches(self.notes, self.out, TOLERANCE)
        for step in range(-10, 11):
            moved = [(t + step / 100, key) for t, key in self.out]
            self.assertLessEqual(matches(self.notes, moved, TOLERANCE), unshifted, f"shift {step * 10} ms")

    def test_low_pipes_start_with_their_chord(self):
        self.assertGreaterEqual(matches(self.bass, self.out, TOLERANCE), LEAST_BASS)


if __name__ == "__main__":
    unittest.main()
