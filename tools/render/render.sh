#!/bin/sh
# Renders the test pieces to WAV.
#
#   tools/render/render.sh OUTDIR [NAME ...]
#
# Writes, for every piece (all of them, or the NAMEs given):
#   OUTDIR/piece-NAME.mid            the reference MIDI (tools/render/pieces.py)
#   OUTDIR/piece-NAME.wav            44100 Hz, 16-bit, stereo
#   OUTDIR/piece-NAME-mono22050.wav  22050 Hz, 16-bit, mono
#   OUTDIR/piece-NAME-mono11025.wav  11025 Hz, 16-bit, mono
# Every WAV is peak-normalised to -1 dBFS; the reverb tail is cut where it
# falls 60 dB below the peak, with a 200 ms fade-out.
#
# Needs the Debian packages fluidsynth, fluid-soundfont-gm, python3-mido and
# python3-numpy. The result is the same on every run.
set -eu

if [ $# -lt 1 ]; then
  echo "usage: $0 OUTDIR [NAME ...]" >&2
  exit 2
fi
out=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
python=/usr/bin/python3
soundfont=/usr/share/sounds/sf2/FluidR3_GM.sf2
[ -r "$soundfont" ] || { echo "missing $soundfont (apt-get install fluid-soundfont-gm)" >&2; exit 1; }
command -v fluidsynth >/dev/null || { echo "missing fluidsynth (apt-get install fluidsynth)" >&2; exit 1; }

mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT INT TERM

$python "$here/pieces.py" "$out" "$@" > "$tmp/list"

# finish IN.wav OUT.wav MONO: normalise, trim the tail, fade, optionally mix to mono.
finish() {
  $python - "$1" "$2" "$3" <<'EOF'
import sys, wave
import numpy as np

src, dst, mono = sys.argv[1], sys.argv[2], sys.argv[3] == "1"
with wave.open(src, "rb") as w:
    if w.getsampwidth() != 2:
        sys.exit(f"{src}: expected 16-bit samples")
    channels, rate = w.getnchannels(), w.getframerate()
    x = np.frombuffer(w.readframes(w.getnframes()), "<i2").astype(np.float64)
x = x.reshape(-1, channels)
if mono and channels > 1:
    x = x.mean(axis=1, keepdims=True)
level = np.abs(x).max(axis=1)
peak = level.max()
if peak <= 0:
    sys.exit(f"{src}: silent rendering")
x *= 10 ** (-1 / 20) * 32767 / peak                   # -1 dBFS
loud = np.nonzero(level > peak * 10 ** (-60 / 20))[0]
end = min(len(x), loud[-1] + 1 + int(0.05 * rate))
x = x[:end]
fade = min(end, int(0.2 * rate))
x[end - fade:] *= (0.5 + 0.5 * np.cos(np.linspace(0, np.pi, fade)))[:, None]
with wave.open(dst, "wb") as w:
    w.setnchannels(x.shape[1])
    w.setsampwidth(2)
    w.setframerate(rate)
    w.writeframes(np.clip(np.round(x), -32768, 32767).astype("<i2").tobytes())
EOF
}

while read -r mid; do
  base=${mid%.mid}
  fluidsynth -ni -g 1.0 -F "$tmp/raw.wav" -r 44100 "$soundfont" "$mid" >/dev/null
  finish "$tmp/raw.wav" "$base.wav" 0
  for rate in 22050 11025; do
    fluidsynth -ni -g 1.0 -F "$tmp/raw.wav" -r $rate "$soundfont" "$mid" >/dev/null
    finish "$tmp/raw.wav" "$base-mono$rate.wav" 1
  done
  echo "$base.wav"
done < "$tmp/list"
