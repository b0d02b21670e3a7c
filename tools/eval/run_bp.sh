#!/bin/sh
# Runs basic-pitch (basic_pitch.mjs) on every rendering of a split of the wide corpus, one file
# at a time at the lowest priority, skipping outputs already there.
#
#   tools/eval/run_bp.sh [CORPUS [SPLIT [RENDERING ...]]]   (default /work/corpus held, every rendering)
#
# A RENDERING is SF.ROOM (fluid.room) or SF alone (both rooms); they are done in the order given,
# each for every piece before the next; without any: every SoundFont dry, then every one in a room.
# Needs the peer's packages: `npm ci` in tools/eval once.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
corpus=${1:-/work/corpus}
split=${2:-held}
[ $# -gt 2 ] && shift 2 || set --
renderings=${*:-fluid.dry musescore.dry timgm.dry fluid.room musescore.room timgm.room}
if [ ! -d "$here/node_modules/@spotify/basic-pitch" ]; then
  echo "basic-pitch is not installed: run 'npm ci' in $here" >&2
  exit 1
fi
names=$(/usr/bin/python3 -c "
import json, sys
print(' '.join(p['name'] for p in json.load(open(sys.argv[1]))['pieces'] if p['split'] == sys.argv[2]))
" "$corpus/manifest.json" "$split")
mkdir -p "$corpus/bp"
for rendering in $renderings; do
  case $rendering in
    *.*) keys=$rendering ;;
    *) keys="$rendering.dry $rendering.room" ;;
  esac
  for sfroom in $keys; do
    for name in $names; do
      key=$name.$sfroom
      wav=$corpus/audio/$key.mono22050.wav
      out=$corpus/bp/$key.mid
      [ -e "$out" ] || [ ! -e "$wav" ] && continue
      if nice -n 19 node "$here/basic_pitch.mjs" "$wav" "$out.part.mid" >"$out.log" 2>&1; then
        mv "$out.part.mid" "$out" && rm -f "$out.log"
      else
        echo "basic-pitch failed on $wav (see $out.log)" >&2
      fi
    done
  done
done
