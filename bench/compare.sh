#!/bin/sh
# Times the engine and the starter against aubio's aubionotes on one generated
# 4-minute 44100 Hz stereo recording (the bundled examples joined), with
# hyperfine, and prints each as a multiple of real time.
#
#   sh bench/compare.sh [BUILD_DIR] [SECONDS]
#
# Needs hyperfine, aubio-tools and python3 (tools/deps.sh bench installs them). The finest grid is timed once on
# the first minute only (FINE_SECONDS changes it; it is by far the slowest);
# the rest run three to five times. Each line gives the wall-clock time and
# the processor time (all threads), both also as multiples of real time; the
# end-to-end run is also timed on one core (taskset -c 0, -j 1).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
seconds=${2:-240}
fine_seconds=${FINE_SECONDS:-60}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT INT TERM

python3 "$here/make_recording.py" "$tmp/rec.wav" "$seconds"
python3 "$here/make_recording.py" "$tmp/fine.wav" "$fine_seconds"
engine="$build/sonoscriptor-engine"
settings() {  # name wave extra-lines
    printf 'WaveFile=%s\nMidiFile=%s/%s.mid\n%b' "$2" "$tmp" "$1" "$3" >"$tmp/$1.txt"
    echo 0 >"$tmp/$1.status"
}
settings defaults "$tmp/rec.wav" ''
settings starter "$tmp/rec.wav" 'VirtualSR=11025\nResolution=4\n'
settings finest "$tmp/fine.wav" 'Sensitivity=7\nResolution=8\n'

echo "machine: $(nproc) cores, $(sed -n 's/^model name[^:]*: //p' /proc/cpuinfo | head -1)"
echo "recording: $seconds s of 44100 Hz 16-bit stereo (finest grid: the first $fine_seconds s)"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "what                                 wall time, x real time | cpu time (user + system), x real time"
run() {  # name seconds runs command...
    name=$1 length=$2 runs=$3
    shift 3
    hyperfine -N --warmup 1 --runs "$runs" --export-json "$tmp/$name.json" "$*" >/dev/null 2>&1
    python3 - "$tmp/$name.json" "$name" "$length" <<'PY'
import json, sys
r = json.load(open(sys.argv[1]))["results"][0]
length = float(sys.argv[3])
cpu = r["user"] + r["system"]
print(f"{sys.argv[2]:<36} {r['mean']:8.3f} s {length / r['mean']:8.1f}x | cpu {cpu:8.3f} s {length / cpu:8.1f}x")
PY
}
for threads in 1 2; do
    export SONOSCRIPTOR_THREADS=$threads
    run "engine defaults, $threads thread(s)" "$seconds" 5 "$engine" "$tmp/defaults.txt" "$tmp/defaults.status" +
    run "engine starter grid, $threads thread(s)" "$seconds" 3 "$engine" "$tmp/starter.txt" "$tmp/starter.status" +
done
unset SONOSCRIPTOR_THREADS
run "engine finest grid, all cores" "$fine_seconds" 1 "$engine" "$tmp/finest.txt" "$tmp/finest.status" +
run "sonoscriptor end to end" "$seconds" 3 "$build/sonoscriptor" --quiet --force -o "$tmp/starter-out.mid" "$tmp/rec.wav"
# The target of the default run: 100x real time on one core (its threads share the core).
if command -v taskset >/dev/null 2>&1; then
    run "sonoscriptor end to end, one core" "$seconds" 3 taskset -c 0 "$build/sonoscriptor" -j 1 --quiet --force \
        -o "$tmp/starter-out.mid" "$tmp/rec.wav"
fi
run "aubionotes" "$seconds" 3 aubionotes -i "$tmp/rec.wav"
