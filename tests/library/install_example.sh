#!/bin/sh
# Installs the build into a temporary prefix and builds the example program against the
# installed package as a user would: with pkg-config against the shared library, and with
# CMake's find_package against the static one; and the Python module where the prefix's Python
# finds it. Each must transcribe the bundled Prelude to the
# MIDI file the installed command writes, byte for byte.
# Usage: install_example.sh BUILD_DIR SOURCE_DIR CXX [PYTHON]
set -eu
build=$1 source=$2 cxx=$3 python=${4:-/usr/bin/python3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
prelude=$source/examples/prelude.wav
example=$source/examples/library/print_notes.cpp

cmake --install "$build" --prefix "$prefix" >/dev/null
PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name sonoscriptor.pc)")
export PKG_CONFIG_PATH
"$cxx" -std=c++17 "$example" $(pkg-config --cflags --libs sonoscriptor) -o "$work/print_notes"

"$prefix/bin/sonoscriptor" --quiet "$prelude" -o "$work/command.mid"
LD_LIBRARY_PATH=$(pkg-config --variable=libdir sonoscriptor) \
  "$work/print_notes" "$prelude" "$work/shared.mid" >"$work/notes.txt"
cmp "$work/command.mid" "$work/shared.mid"
# One line a note: onset and offset in seconds, pitch, velocity.
test "$(wc -l <"$work/notes.txt")" -gt 30
awk 'NF != 4 || $1 > $2 || $3 < 21 || $3 > 108 { bad = 1 } END { exit bad }' "$work/notes.txt"

cmake -S "$source/tests/library/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_COMPILER="$cxx" -DEXAMPLE="$example" >/dev/null
cmake --build "$work/consumer" >/dev/null
# A static library finds the engine from its program's folder: the program goes beside the command.
cp "$work/consumer/print_notes" "$prefix/bin/print_notes"
"$prefix/bin/print_notes" "$prelude" "$work/static.mid" >/dev/null
cmp "$work/command.mid" "$work/static.mid"

# The Python module, where the prefix's Python looks for it, from a path and from an array.
module=$(find "$prefix" -name 'sonoscriptor.cpython-*.so' | head -n 1)
if [ -n "$module" ]; then
  PYTHONPATH=$(dirname "$module") "$python" - "$prelude" "$work/command.mid" <<'PY'
import sys, wave
import numpy as np
import sonoscriptor
prelude, command = sys.argv[1], open(sys.argv[2], "rb").read()
assert sonoscriptor.transcribe(prelude).midi_bytes == command
with wave.open(prelude) as w:
    frames = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2").reshape(-1, w.getnchannels())
    assert sonoscriptor.transcribe(frames, sample_rate=w.getframerate()).midi_bytes == command
PY
fi
echo "the installed package builds the example; it writes the command's MIDI file"
