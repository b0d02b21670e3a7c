#!/bin/sh
# Runs every libFuzzer target of a fuzz build for a number of seconds each,
# from seeds kept in tests/fuzz/seeds and a corpus kept in the build folder.
# Usage: tools/fuzz/run.sh BUILD_DIR SECONDS [SEED]  (SECONDS 0: each target
# runs its seeds and corpus once and stops; SEED 0: a new one each run; any
# other value repeats the same run, as CI does)
set -e
build=${1:-build/fuzz}
seconds=${2:-60}
random_seed=${3:-0}
root=$(cd "$(dirname "$0")/../.." && pwd)
seeds=$root/tests/fuzz/seeds
seed() {  # seed TARGET FILE...: copies seed files into the target's corpus
  dir="$build/corpus/$1"; shift
  mkdir -p "$dir"
  for f in "$@"; do [ -f "$f" ] && cp "$f" "$dir/"; done
  return 0
}
seed settings_fuzz "$seeds/settings.txt"
seed tempo_fuzz "$seeds/tempo.bin"
seed filter_index_fuzz "$root/data/filter.txt"
seed midi_score_fuzz "$root/examples/prelude.mid" "$root/examples/minuet-ritardando.mid"
mkdir -p "$build/corpus/wav_header_fuzz"
head -c 4132 "$root/examples/prelude.wav" > "$build/corpus/wav_header_fuzz/prelude-head.wav"
# The starter's readers: a folder of seeds each (with the inputs of faults once found).
for name in status option_values settings_list form_fields output_whole midi_notes wave_inspect; do
  seed "${name}_fuzz" "$seeds/$name"/*
done
seed midi_notes_fuzz "$root/examples/prelude.mid" "$root/examples/minuet-ritardando.mid"
seed output_whole_fuzz "$root/examples/prelude.mid"
cp "$build/corpus/wav_header_fuzz/prelude-head.wav" "$build/corpus/wave_inspect_fuzz/"
if [ "$seconds" -eq 0 ]; then length=-runs=0 what="over its seeds and corpus"; else length=-max_total_time=$seconds what="for $seconds s"; fi
for target in settings_fuzz wav_header_fuzz tempo_fuzz filter_index_fuzz midi_score_fuzz \
    status_fuzz option_values_fuzz settings_list_fuzz form_fields_fuzz output_whole_fuzz midi_notes_fuzz \
    wave_inspect_fuzz; do
  echo "fuzzing $target $what"
  "$build/$target" "$length" -seed="$random_seed" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$build/$target-" "$build/corpus/$target" 2>"$build/$target.log" ||
    { tail -40 "$build/$target.log"; echo "$target found a fault; the input is in $build/$target-*" >&2; exit 1; }
  grep -E '^stat::number_of_executed_units' "$build/$target.log" || true
done
