#!/bin/sh
# Runs basic-pitch (basic_pitch.mjs) on every rendering of a split of the wide corpus, one file
# at a time at the lowest priority, dry renderings first, skipping outputs already there.
#
#   tools/eval/run_bp.sh [CORPUS [SPLIT [SF ...]]]     (default /work/corpus held fluid musescore timgm)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
corpus=${1:-/work/corpus}
split=${2:-held}
[ $# -gt 2 ] && shift 2 || set --
sfs=${*:-fluid musescore timgm}
names=$(/usr/bin/python3 -c "
import json, sys
print(' '.join(p['name'] for p in json.load(open(sys.argv[1]))['pieces'] if p['split'] == sys.argv[2]))
" "$corpus/manifest.json" "$split")
mkdir -p "$corpus/bp"
for room in dry room; do
  for sf in $sfs; do
    for name in $names; do
      key=$name.$sf.$room
      wav=$corpus/audio/$key.mono22050.wav
      out=$corpus/bp/$key.mid
      [ -e "$out" ] || [ ! -e "$wav" ] && continue
      nice -n 19 node "$here/basic_pitch.mjs" "$wav" "$out.part.mid" >/dev/null 2>&1 &&
        mv "$out.part.mid" "$out" || echo "basic-pitch failed on $wav" >&2
    done
  done
done
