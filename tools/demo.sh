#!/bin/sh
# Transcribes the bundled example and prints a short summary.
set -e
build=${1:-build}
out="$build/demo"
mkdir -p "$out"
if [ -x "$build/sonoscriptor" ]; then
  exec "$build/sonoscriptor" --force -o "$out/prelude.mid" examples/prelude.wav
fi
# Without the starter: drive the engine through its own protocol.
dir=$(pwd)
printf 'WaveFile=%s/examples/prelude.wav\nMidiFile=%s/%s/prelude.mid\n' "$dir" "$dir" "$out" > "$out/settings.txt"
echo 0 > "$out/status.txt"
start=$(date +%s.%N)
set +e
"$build/sonoscriptor-engine" "$out/settings.txt" "$out/status.txt" + >/dev/null
code=$?
set -e
end=$(date +%s.%N)
echo "engine exit code: $code"
echo "final status line: $(cat "$out/status.txt")"
echo "time taken: $(echo "$end - $start" | bc 2>/dev/null || echo "?") s"
echo "output: $out/prelude.mid"
exit $code
