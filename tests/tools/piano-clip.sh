#!/bin/sh
# Re-creates tests/tools/piano-clip.wav, the short piano rendering of the
# filter-path end-to-end test (11025 Hz, mono, 16-bit, about 9 s).
#
#   sh tests/tools/piano-clip.sh
#
# Needs fluidsynth, fluid-soundfont-gm, python3-mido and python3-numpy. The
# notes (120 quarters/min, one quarter = 0.5 s) must match the test's list.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
python=/usr/bin/python3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT INT TERM

$python - "$tmp/clip.mid" <<'PY'
import sys
import mido

# (onset, duration, key) in quarter notes.
NOTES = [
    (0, 1, 60), (1, 1, 64), (2, 1, 67), (3, 1, 72),
    (4, 2, 48), (4, 1, 64), (5, 1, 65), (6, 2, 55), (6, 1, 67), (7, 1, 71),
    (8, 2, 60), (8, 2, 64), (8, 2, 67), (10, 2, 53), (10, 2, 69), (10, 2, 72),
    (12, 1, 76), (13, 1, 74), (14, 1, 72), (15, 1, 71), (16, 2, 72), (16, 2, 48),
]
events = []
for on, dur, key in NOTES:
    events.append((on * 480, 1, mido.Message("note_on", note=key, velocity=80)))
    events.append(((on + dur) * 480, 0, mido.Message("note_off", note=key, velocity=64)))
events.sort(key=lambda e: (e[0], e[1]))
track = mido.MidiTrack([mido.MetaMessage("set_tempo", tempo=500000, time=0),
                        mido.Message("program_change", program=0, time=0)])
now = 0
for tick, _, message in events:
    track.append(message.copy(time=tick - now))
    now = tick
track.append(mido.MetaMessage("end_of_track", time=480))
song = mido.MidiFile(type=0, ticks_per_beat=480)
song.tracks.append(track)
song.save(sys.argv[1])
PY

fluidsynth -ni -g 1.0 -F "$tmp/raw.wav" -r 11025 /usr/share/sounds/sf2/FluidR3_GM.sf2 "$tmp/clip.mid" >/dev/null
$python - "$tmp/raw.wav" "$here/piano-clip.wav" <<'PY'
import sys
import wave
import numpy as np

with wave.open(sys.argv[1], "rb") as w:
    x = np.frombuffer(w.readframes(w.getnframes()), "<i2").astype(np.float64)
    x = x.reshape(-1, w.getnchannels()).mean(axis=1)
x *= 10 ** (-1 / 20) * 32767 / np.abs(x).max()
x = x[: int(9.5 * 11025)]
fade = int(0.2 * 11025)
x[-fade:] *= 0.5 + 0.5 * np.cos(np.linspace(0, np.pi, fade))
with wave.open(sys.argv[2], "wb") as w:
    w.setnchannels(1)
    w.setsampwidth(2)
    w.setframerate(11025)
    w.writeframes(np.round(x).astype("<i2").tobytes())
PY
