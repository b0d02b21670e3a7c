#!/bin/sh
# Builds the shipped filter records, data/filter.dat and data/filter.txt.
#
#   sh data/build-filters.sh BUILD_DIR
#
# BUILD_DIR holds sonoscriptor-filter-builder. For every instrument below the
# script writes a MIDI file that plays each note of the instrument's range on
# its own (one onset every SECONDS seconds), renders it with FluidSynth and the
# FluidR3_GM SoundFont, and measures one record from the rendering. The
# records are numbered by General MIDI program and stored in the order listed.
#
# Needs the Debian packages fluidsynth, fluid-soundfont-gm and python3-mido.
# The output is the same on every run.
set -eu

if [ $# -ne 1 ]; then
  echo "usage: sh $0 BUILD_DIR" >&2
  exit 2
fi
builder=$1/sonoscriptor-filter-builder
here=$(cd "$(dirname "$0")" && pwd)
python=/usr/bin/python3
soundfont=/usr/share/sounds/sf2/FluidR3_GM.sf2
seconds=2
[ -x "$builder" ] || { echo "missing $builder (build it first)" >&2; exit 1; }
[ -r "$soundfont" ] || { echo "missing $soundfont (apt-get install fluid-soundfont-gm)" >&2; exit 1; }
command -v fluidsynth >/dev/null || { echo "missing fluidsynth (apt-get install fluidsynth)" >&2; exit 1; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT INT TERM

# program keymin keymax pitchmode velocity skip length name
# keymin..keymax is the range the record covers (and its index defaults);
# skip and length (seconds) choose the sustained part that is measured.
# The SoundFont's violin is silent on key 94, so that row stays zero; its
# strings are silent above key 96.
cat > "$tmp/instruments" <<'EOF'
0 21 108 10 90 0.1 0.6 acoustic-grand-piano
19 36 96 10 90 0.25 1.0 church-organ
24 40 84 6 90 0.1 0.6 nylon-guitar
40 55 100 4 90 0.25 1.0 violin
48 28 96 6 90 0.3 1.0 string-ensemble
73 60 96 2 90 0.25 1.0 flute
EOF

# notes.mid PROGRAM FIRST LAST VELOCITY: the notes one after another.
write_notes() {
  $python - "$@" <<'EOF'
import sys
import mido

path, program, first, last, velocity, seconds = sys.argv[1:7]
program, first, last, velocity = int(program), int(first), int(last), int(velocity)
ticks = 960                                    # per second at 120 quarters/min
onset, hold = int(float(seconds) * ticks), int(float(seconds) * 0.75 * ticks)
track = mido.MidiTrack()
track.append(mido.MetaMessage("set_tempo", tempo=500000, time=0))
track.append(mido.Message("program_change", program=program, time=0))
for note in range(first, last + 1):
    gap = 0 if note == first else onset - hold
    track.append(mido.Message("note_on", note=note, velocity=velocity, time=gap))
    track.append(mido.Message("note_off", note=note, velocity=64, time=hold))
track.append(mido.MetaMessage("end_of_track", time=onset - hold))
song = mido.MidiFile(type=0, ticks_per_beat=480)
song.tracks.append(track)
song.save(path)
EOF
}

: > "$tmp/filter.dat"
: > "$tmp/filter.txt"
while read -r program keymin keymax pitchmode velocity skip length name; do
  write_notes "$tmp/$name.mid" "$program" "$keymin" "$keymax" "$velocity" "$seconds"
  fluidsynth -ni -g 1.0 -F "$tmp/$name.wav" -r 44100 "$soundfont" "$tmp/$name.mid" >/dev/null
  "$builder" --first "$keymin" --last "$keymax" --seconds "$seconds" --skip "$skip" --length "$length" \
    --out "$tmp/$name.bin" "$tmp/$name.wav"
  cat "$tmp/$name.bin" >> "$tmp/filter.dat"
  echo "$program,$keymin,$keymax,$pitchmode" >> "$tmp/filter.txt"
  echo "record $program ($name): keys $keymin..$keymax, polyphony $pitchmode"
done < "$tmp/instruments"

mv "$tmp/filter.dat" "$here/filter.dat"
mv "$tmp/filter.txt" "$here/filter.txt"
