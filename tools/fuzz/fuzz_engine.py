#!/usr/bin/python3
"""Random settings files and damaged WAV files against the engine.

Every run must end with one of the engine's exit codes (0..7) within the
time limit, and a sanitizer build must report nothing. Use it with the
sanitizer build:

    make test-sanitize
    tools/fuzz/fuzz_engine.py --engine build/sanitize/sonoscriptor-engine --runs 300
"""
import argparse
import math
import os
import random
import struct
import subprocess
import tempfile
import wave

KEYS = ["EntireWave", "CropSilence", "StartPoint", "EndPoint", "VirtualSR", "ReferencePitch", "AGC",
        "StereoPan", "KeyMin", "KeyMax", "InputThreshold", "OutputThreshold", "BufferSize", "Resolution",
        "MinimumLength", "PauseBetweenNotes", "PitchMode", "Constrain", "Channel", "Filter", "Patch",
        "TimeSignatureNumerator", "TimeSignatureDenominator", "Tempo", "Speed", "Transpose", "KeySignature",
        "MajorMinor", "AutoDetectKey", "Gain", "VelocityOn", "VelocityOff", "PhaseMult", "ChordRes",
        "BufferIncrement", "ClusterDetect", "Sensitivity"]
VALUES = ["0", "1", "-1", "2", "3", "7", "8", "9", "999", "-99999999999", "99999999999", "1e300", "-1e300",
          "nan", "inf", "0.5", "2,5", "127", "128", "200", "-200", "44100", "22050", "11025", "5", "16",
          "1350", "20000", "abc", "", " 12", "3.9", "65535", "-7", "4", "60", "120", "6"]


def write_wave(path):
    rate = 11025
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(b"".join(struct.pack("<h", int(8000 * math.sin(2 * math.pi * 440 * i / rate)
                                                    + 4000 * math.sin(2 * math.pi * 660 * i / rate)))
                               for i in range(int(rate * 1.5))))


def damaged(original):
    data = bytearray(original)
    for _ in range(random.randint(1, 6)):
        pos = random.choice([random.randint(0, 60), random.randint(0, len(data) - 1)])
        data[pos] = random.randint(0, 255)
    if random.random() < 0.3:
        data = data[:random.randint(0, len(data))]
    if random.random() < 0.2 and len(data) >= 8:
        data[4:8] = random.choice([b"\0\0\0\0", b"\xff\xff\xff\xff", b"\x10\0\0\0"])
    return bytes(data)


def run_once(engine, folder, lines):
    settings, status = os.path.join(folder, "settings.txt"), os.path.join(folder, "status.txt")
    with open(settings, "w") as f:
        f.write("\n".join(lines) + "\n")
    with open(status, "w") as f:
        f.write("0")
    try:
        result = subprocess.run([engine, settings, status, "+"], capture_output=True, timeout=60)
    except subprocess.TimeoutExpired:
        return "timeout", ""
    return result.returncode, result.stderr.decode(errors="replace")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--engine", required=True)
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--data", default=os.path.join(os.path.dirname(__file__), "..", "..", "data") + "/")
    args = parser.parse_args()
    random.seed(args.seed)
    failures = 0
    with tempfile.TemporaryDirectory() as folder:
        clean = os.path.join(folder, "clean.wav")
        write_wave(clean)
        original = open(clean, "rb").read()
        for n in range(args.runs):
            wav = clean
            if n % 2:
                wav = os.path.join(folder, "damaged.wav")
                with open(wav, "wb") as f:
                    f.write(damaged(original))
            lines = ["WaveFile=" + wav, "MidiFile=" + os.path.join(folder, "out.mid")]
            if random.random() < 0.3:
                lines.append("ExePath=" + os.path.abspath(args.data) + "/")
            lines += [random.choice(KEYS) + "=" + random.choice(VALUES) for _ in range(random.randint(1, 8))]
            code, errors = run_once(args.engine, folder, lines)
            if code not in range(8) or "runtime error" in errors or "Sanitizer" in errors:
                failures += 1
                print("FAILED (%s): %s\n%s" % (code, " | ".join(lines[2:]), errors[:600]))
    print("%d runs, %d failed" % (args.runs, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    raise SystemExit(main())
