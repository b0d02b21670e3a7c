"""Tests of the Python module sonoscriptor (run with pytest; ctest sets SONOSCRIPTOR_BUILD_DIR and
PYTHONPATH): the bundled Prelude from its path and from NumPy arrays against the command's own run,
errors with the command's sentences, progress, cancel and Ctrl-C, and the GIL released while it works."""
import _thread
import os
import subprocess
import sys
import threading
import time
import wave

import numpy as np
import pytest

import sonoscriptor

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("SONOSCRIPTOR_BUILD_DIR", os.path.join(SOURCE, "build"))
PRELUDE = os.path.join(SOURCE, "examples", "prelude.wav")


def prelude_frames():
    """The Prelude's 16-bit frames, frames by channels, and its sample rate."""
    with wave.open(PRELUDE) as w:
        frames = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2")
        return frames.reshape(-1, w.getnchannels()), w.getframerate()


@pytest.fixture(scope="module")
def prelude():
    return sonoscriptor.transcribe(PRELUDE)


@pytest.fixture(scope="module")
def command(tmp_path_factory):
    """The command's MIDI file and score of the Prelude."""
    folder = tmp_path_factory.mktemp("command")
    midi, score = folder / "prelude.mid", folder / "prelude.musicxml"
    subprocess.run([os.path.join(BUILD, "sonoscriptor"), "--quiet", PRELUDE, "-o", str(midi),
                    "--musicxml", str(score)], check=True)
    return midi.read_bytes(), score.read_bytes()


def test_the_path_gives_the_commands_notes_and_files(prelude, command, tmp_path):
    assert prelude.midi_bytes == command[0]
    prelude.write_midi(tmp_path / "out.mid")
    assert (tmp_path / "out.mid").read_bytes() == command[0]
    prelude.write_musicxml(str(tmp_path / "out.musicxml"))
    assert (tmp_path / "out.musicxml").read_bytes() == command[1]
    notes = prelude.notes
    assert notes.dtype.names == ("onset", "offset", "pitch", "velocity", "bar", "beat")
    assert len(notes) > 30
    assert np.all(np.diff(notes["onset"]) >= 0) and np.all(notes["offset"] > notes["onset"])
    assert prelude.key == "C major" and prelude.time_signature == (4, 4)
    assert len(prelude.beats) > 10 and set(prelude.downbeats) <= set(prelude.beats)
    assert prelude.tempo_map.dtype.names == ("time", "bpm") and len(prelude.tempo_map) > 0


@pytest.mark.parametrize("form", ["int16", "float32", "mono-list"])
def test_an_array_gives_the_notes_of_the_path(prelude, form):
    frames, rate = prelude_frames()
    if form == "float32":
        frames = frames.astype(np.float32) / 32768
    if form == "mono-list":
        # One channel: the notes are the mono file's; here only that a list is taken as samples.
        mono = (frames[:, 0].astype(np.float64) / 32768).tolist()
        assert len(sonoscriptor.transcribe(mono, sample_rate=rate, end=3).notes) > 0
        return
    t = sonoscriptor.transcribe(frames, sample_rate=rate)
    assert np.array_equal(t.notes, prelude.notes)
    assert t.midi_bytes == prelude.midi_bytes


def test_errors_carry_the_commands_code_and_sentence(tmp_path):
    missing = str(tmp_path / "missing.wav")
    command = subprocess.run([os.path.join(BUILD, "sonoscriptor"), "--quiet", missing],
                             capture_output=True, text=True)
    with pytest.raises(sonoscriptor.Error) as caught:
        sonoscriptor.transcribe(missing)
    assert caught.value.exit_code == command.returncode == 3
    assert str(caught.value) in command.stderr and caught.value.sentence in str(caught.value)
    with pytest.raises(sonoscriptor.Error) as caught:
        sonoscriptor.transcribe(PRELUDE, tempo=0)
    assert caught.value.exit_code == 9 and "--tempo" in caught.value.sentence
    with pytest.raises(TypeError):
        sonoscriptor.transcribe(PRELUDE, tempi=90)
    with pytest.raises(ValueError):
        sonoscriptor.transcribe(np.zeros(1000, dtype=np.float32))


def test_the_tuning_keyword_is_the_commands_option():
    # The A given is the command's: the same file as --tuning, and its range refused the same way.
    def command(*options):
        return subprocess.run([os.path.join(BUILD, "sonoscriptor"), "-q", *options, "-o", "-", PRELUDE],
                              capture_output=True, check=True).stdout
    assert sonoscriptor.transcribe(PRELUDE, tuning=442).midi_bytes == command("--tuning", "442")
    both = sonoscriptor.transcribe(PRELUDE, command_options=["--quantize"], tuning=436)
    assert both.midi_bytes == command("--tuning", "436", "--quantize")
    with pytest.raises(sonoscriptor.Error) as caught:
        sonoscriptor.transcribe(PRELUDE, tuning=450)
    assert caught.value.exit_code == 9 and "--tuning" in caught.value.sentence
    with pytest.raises(TypeError, match="tuning"):
        sonoscriptor.transcribe(PRELUDE, tuning="A")


def test_wrong_values_raise_a_python_exception_that_names_them(tmp_path):
    for keywords, word in [({"tempo": "fast"}, "tempo"), ({"key": 5}, "key"), ({"transpose": 10**30}, "transpose"),
                           ({"command_options": "--tempo 90"}, "command_options")]:
        with pytest.raises(TypeError, match=word):
            sonoscriptor.transcribe(PRELUDE, **keywords)
    with pytest.raises(ValueError, match="numbers"):  # rows of different lengths make no array
        sonoscriptor.transcribe([[0.0], [0.0, 0.0]], sample_rate=44100)
    with pytest.raises(sonoscriptor.Error) as caught:
        sonoscriptor.transcribe(np.zeros(0, dtype=np.float32), sample_rate=44100)
    assert caught.value.sentence == "give at least one frame of samples" and "samples.wav" not in str(caught.value)


def test_what_cannot_be_done_says_why_at_once(prelude, tmp_path):
    # An empty name, command options that would write files of their own, and a folder to write to.
    with pytest.raises(sonoscriptor.Error) as caught:
        sonoscriptor.transcribe("")
    assert caught.value.exit_code == 3
    with pytest.raises(sonoscriptor.Error) as caught:
        sonoscriptor.transcribe(PRELUDE, command_options=["--notes", str(tmp_path / "notes.csv")])
    assert caught.value.exit_code == 9 and caught.value.sentence.startswith("command_options cannot give --notes")
    with pytest.raises(sonoscriptor.Error) as caught:
        prelude.write_midi(tmp_path)
    assert caught.value.exit_code == 5 and caught.value.sentence.endswith("(it is a folder).")
    assert os.listdir(tmp_path) == []


def test_paths_are_taken_as_the_system_takes_them(prelude, tmp_path):
    assert len(sonoscriptor.transcribe(os.fsencode(PRELUDE)).notes) == len(prelude.notes)
    with pytest.raises(ValueError, match="null"):
        sonoscriptor.transcribe(PRELUDE + "\0.wav")
    for write in (prelude.write_midi, prelude.write_musicxml):
        with pytest.raises(ValueError, match="null"):
            write(str(tmp_path / "cut\0short.mid"))
    assert os.listdir(tmp_path) == []
    prelude.write_midi(os.fsencode(tmp_path / "bytes.mid"))
    assert (tmp_path / "bytes.mid").read_bytes() == prelude.midi_bytes


def test_the_gil_is_released_while_it_works():
    counted = 0
    done = threading.Event()
    reports = []

    def work():
        sonoscriptor.transcribe(PRELUDE, end=6, progress=lambda fraction, stage: reports.append(fraction))
        done.set()

    threads = threading.active_count()
    worker = threading.Thread(target=work)
    worker.start()
    while not done.is_set():
        counted += 1
        time.sleep(0.001)
    worker.join()
    # Held, the GIL would have let this loop run a step or two at each progress report alone.
    assert counted > 5 * len(reports) + 20
    assert threading.active_count() == threads


def test_an_interpreter_that_ends_while_a_thread_transcribes_ends_cleanly(tmp_path):
    # A daemon thread transcribes as the interpreter shuts down: the module cancels the work at
    # exit and waits for it, so no thread is inside the library while the interpreter finalizes
    # (it aborted or crashed the process there now and then, under load).
    script = """
import sys, threading, time, wave
import sonoscriptor
with wave.open(sys.argv[1]) as w, wave.open(sys.argv[2], "wb") as out:
    out.setparams(w.getparams())
    out.writeframes(w.readframes(w.getnframes()) * 16)
engine = threading.Event()
def progress(fraction, stage):
    if stage == "running the engine":
        engine.set()
threading.Thread(target=sonoscriptor.transcribe, args=(sys.argv[2],), kwargs={"tempo": 120, "progress": progress},
                 daemon=True).start()
engine.wait(60)
time.sleep(0.5)
"""
    ended = subprocess.run([sys.executable, "-c", script, PRELUDE, str(tmp_path / "long.wav")], capture_output=True,
                           text=True, timeout=120, env=dict(os.environ, TMPDIR=str(tmp_path)))
    assert ended.returncode == 0, ended.stderr
    assert "FATAL" not in ended.stderr


def test_progress_cancel_and_ctrl_c():
    seen = []
    cancel = threading.Event()

    def progress(fraction, stage):
        seen.append((fraction, stage))
        if stage == "running the engine":
            cancel.set()

    with pytest.raises(sonoscriptor.Error) as caught:
        sonoscriptor.transcribe(PRELUDE, progress=progress, cancel=cancel)
    assert caught.value.exit_code == 1
    assert seen[-1] == (1.0, "done")
    assert all(b[0] >= a[0] - 1e-9 for a, b in zip(seen, seen[1:]))
    # Ctrl-C while it works: KeyboardInterrupt, and the next transcription runs as usual. Four
    # minutes of the Prelude take seconds, so the interrupt 0.3 s in comes while it works.
    frames, rate = prelude_frames()
    long_recording = np.tile(frames, (16, 1))
    threading.Timer(0.3, _thread.interrupt_main).start()
    with pytest.raises(KeyboardInterrupt):
        sonoscriptor.transcribe(long_recording, sample_rate=rate)
    assert len(sonoscriptor.transcribe(PRELUDE, end=3).notes) > 0
