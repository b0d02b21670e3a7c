#!/bin/sh
# Transcribes the bundled examples with the starter and prints their summaries:
# the Prelude at its known tempo (with its score as MusicXML), and the Minuet, whose tempo slows down,
# following the beats the starter finds in it.
set -e
build=${1:-build}
mkdir -p "$build/demo"
"$build/sonoscriptor" --force --tempo 66 -o "$build/demo/prelude.mid" --musicxml "$build/demo/prelude.musicxml" \
  examples/prelude.wav
"$build/sonoscriptor" --force -o "$build/demo/minuet-ritardando.mid" examples/minuet-ritardando.wav
