"""What the tests of rendered pieces share: the system interpreter that has
Debian's mido and NumPy, the build folder given as the first argument, and
the piece renderer of tools/render, the check that it can render, and the
one-to-one matching of notes that both judge transcriptions with.

    from rendered import BUILD_DIR, SOURCE_DIR, STARTER, beat_pieces, matches, mido, require_renderer
"""
import os
import shutil
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from system_python import need  # noqa: E402

need("mido", "numpy")  # numpy only checked here: beat_pieces renders with it
import mido  # noqa: E402,F401  (handed on to the tests)

BUILD_DIR = sys.argv.pop(1) if len(sys.argv) > 1 else "build"
STARTER = os.path.join(BUILD_DIR, "sonoscriptor")
SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tools", "render"))
import beat_pieces  # noqa: E402,F401  (handed on to the tests)


def require_renderer():
    """Fails, never skips, when FluidSynth or the General MIDI SoundFont is
    missing: tools/deps.sh installs both, so a machine without them must not
    pass the rendered tests by leaving them out."""
    missing = []
    if shutil.which("fluidsynth") is None:
        missing.append("fluidsynth (apt-get install fluidsynth)")
    if not os.path.exists(beat_pieces.SOUNDFONT):
        missing.append(f"{beat_pieces.SOUNDFONT} (apt-get install fluid-soundfont-gm)")
    if missing:
        raise AssertionError("cannot render the test pieces; missing " + " and ".join(missing))


def matches(reference, output, tolerance):
    """Reference notes matched one to one by output notes of the same key within the tolerance.

    Both lists hold (onset, key). Per key, in time order, each reference
    note takes the earliest free output note that is not too early; for
    points on a line with one tolerance this finds the most pairs."""
    by_key = {}
    for onset, key in output:
        by_key.setdefault(key, []).append(onset)
    for onsets in by_key.values():
        onsets.sort()
    found = 0
    next_free = {key: 0 for key in by_key}
    for onset, key in sorted(reference):
        onsets = by_key.get(key)
        if not onsets:
            continue
        i = next_free[key]
        while i < len(onsets) and onsets[i] < onset - tolerance:
            i += 1
        if i < len(onsets) and onsets[i] <= onset + tolerance:
            found += 1
            i += 1
        next_free[key] = i
    return found


def note_ons(path):
    """(seconds as the file plays, through its tempo map; key) of every note-on of a MIDI file."""
    notes, now = [], 0.0
    for msg in mido.MidiFile(path):
        now += msg.time
        if msg.type == "note_on" and msg.velocity > 0:
            notes.append((now, msg.note))
    return notes
