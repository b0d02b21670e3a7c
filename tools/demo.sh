#!/bin/sh
# Transcribes the bundled example with the starter and prints its summary.
# The example is played at 66 quarter notes per minute.
set -e
build=${1:-build}
mkdir -p "$build/demo"
exec "$build/sonoscriptor" --force --tempo 66 -o "$build/demo/prelude.mid" examples/prelude.wav
