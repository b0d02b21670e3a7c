#!/usr/bin/env python3
"""Writes a 44100 Hz 16-bit stereo WAV of about `seconds` seconds by joining
the bundled example recordings in turn (the 22050 Hz mono one doubled to
44100 Hz stereo). Usage: make_recording.py OUT.wav [SECONDS]"""
import array
import os
import sys
import wave

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(HERE, "..", "examples")


def stereo44100(path):
    with wave.open(path, "rb") as w:
        channels, rate, width = w.getnchannels(), w.getframerate(), w.getsampwidth()
        samples = array.array("h", w.readframes(w.getnframes()))
    if width != 2 or 44100 % rate:
        raise SystemExit(f"{path}: unsupported format")
    repeat = 44100 // rate
    frames = len(samples) // channels
    out = array.array("h", bytes(2 * 2 * frames * repeat))
    for c in range(2):
        source = samples[c % channels::channels]
        for r in range(repeat):
            out[2 * r + c::2 * repeat] = source
    return out


def main():
    target = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 240.0
    pieces = [stereo44100(os.path.join(EXAMPLES, name)) for name in ("prelude.wav", "minuet-ritardando.wav")]
    wanted = int(seconds * 44100) * 2
    with wave.open(target, "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(44100)
        written, i = 0, 0
        while written < wanted:
            piece = pieces[i % len(pieces)][: wanted - written]
            w.writeframes(piece.tobytes())
            written += len(piece)
            i += 1


if __name__ == "__main__":
    main()
