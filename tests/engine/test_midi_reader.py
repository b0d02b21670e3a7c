"""An engine output read by an independent MIDI reader (mido).

Usage: python3 test_midi_reader.py BUILD_DIR
"""
import math
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import wave

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from system_python import need  # noqa: E402

need("mido")  # the reader
import mido  # noqa: E402

BUILD_DIR = sys.argv.pop(1) if len(sys.argv) > 1 else "build"
ENGINE = os.path.join(BUILD_DIR, "sonoscriptor-engine")
RATE = 44100


def write_tones(path, tones):
    """Mono 16-bit WAV of consecutive (frequency, seconds) tones; frequency 0 is silence."""
    frames = bytearray()
    for frequency, seconds in tones:
        for i in range(int(seconds * RATE)):
            value = int(round(12000 * math.sin(2 * math.pi * frequency * i / RATE))) if frequency else 0
            frames += struct.pack("<h", value)
    with wave.open(path, "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(bytes(frames))


class EngineOutputReadByMido(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="sonoscriptor-mido-")
        wav = os.path.join(cls.folder, "in.wav")
        cls.midi_path = os.path.join(cls.folder, "out.mid")
        settings = os.path.join(cls.folder, "settings.txt")
        status = os.path.join(cls.folder, "status.txt")
        write_tones(wav, [(440, 1.0), (0, 0.5), (659.26, 1.0), (0, 0.5)])
        with open(settings, "w") as out:
            out.write("WaveFile=%s\nMidiFile=%s\nChannel=3\nPatch=19\n" % (wav, cls.midi_path))
        with open(status, "w") as out:
            out.write("0")
        result = subprocess.run([ENGINE, settings, status, "+"], stdout=subprocess.DEVNULL, timeout=120)
        cls.exit_code = result.returncode
        with open(status) as f:
            cls.status = f.read()
        with open(cls.midi_path, "rb") as f:
            cls.data = f.read()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def test_run_succeeds(self):
        self.assertEqual(self.exit_code, 0)
        self.assertTrue(self.status.startswith("100,"), self.status)

    def test_chunk_lengths_match_the_file(self):
        self.assertEqual(self.data[:4], b"MThd")
        self.assertEqual(self.data[14:18], b"MTrk")
        (length,) = struct.unpack(">I", self.data[18:22])
        self.assertEqual(length, len(self.data) - 22)

    def test_mido_reads_one_track_of_format_0(self):
        midi = mido.MidiFile(self.midi_path)
        self.assertEqual(midi.type, 0)
        self.assertEqual(len(midi.tracks), 1)
        self.assertEqual(midi.ticks_per_beat, 96)

    def test_opening_meta_events(self):
        track = mido.MidiFile(self.midi_path).tracks[0]
        opening = track[:5]
        self.assertEqual(opening[0].type, "time_signature")
        self.assertEqual((opening[0].numerator, opening[0].denominator), (4, 4))
        self.assertEqual(opening[1].type, "set_tempo")
        self.assertEqual(opening[1].tempo, 500000)
        self.assertEqual(opening[2].type, "key_signature")
        self.assertEqual(opening[3].type, "text")
        self.assertEqual(opening[3].text, "Created by Sonoscriptor Music Recognition System")
        self.assertEqual(opening[4].type, "program_change")
        self.assertEqual((opening[4].channel, opening[4].program), (2, 19))
        self.assertTrue(all(m.time == 0 for m in opening))

    def test_notes_of_the_tones_are_present_and_closed(self):
        track = mido.MidiFile(self.midi_path).tracks[0]
        sounding = {}
        started = []
        for message in track:
            if message.type == "note_on":
                self.assertGreater(message.velocity, 0)
                self.assertEqual(message.channel, 2)
                sounding[message.note] = sounding.get(message.note, 0) + 1
                started.append(message.note)
            elif message.type == "note_off":
                self.assertGreater(sounding.get(message.note, 0), 0, "note-off without a note-on")
                sounding[message.note] -= 1
        self.assertIn(69, started)
        self.assertIn(76, started)
        self.assertLess(started.index(69), started.index(76))
        self.assertEqual({note: n for note, n in sounding.items() if n}, {})

    def test_track_ends_with_end_of_track_at_delta_zero(self):
        track = mido.MidiFile(self.midi_path).tracks[0]
        self.assertEqual(track[-1].type, "end_of_track")
        self.assertEqual(track[-1].time, 0)
        self.assertEqual(sum(1 for m in track if m.type == "end_of_track"), 1)

    def test_note_times_follow_the_audio(self):
        midi = mido.MidiFile(self.midi_path)
        seconds = 0.0
        onsets = {}
        for message in midi:  # playback order, times in seconds
            seconds += message.time
            if message.type == "note_on" and message.note not in onsets:
                onsets[message.note] = seconds
        self.assertLess(onsets[69], 0.25)
        self.assertAlmostEqual(onsets[76] - onsets[69], 1.5, delta=0.25)


if __name__ == "__main__":
    unittest.main()
