#!/bin/sh
# Installs the Debian packages the build, the tests and the demo need,
# when some are missing and we may install them. The one list of them.
#   tools/deps.sh        the build, the tests and the demo
#   tools/deps.sh eval   those and the evaluation's: the wide corpus (tools/render/wide.py,
#                        whose published pieces are read from some of these packages)
#                        and its harness (tools/eval/run_wide.py, whose plain baseline
#                        runs aubiotrack)
#   tools/deps.sh bench  those and the timing against aubio (bench/compare.sh)
set -e
pkgs="g++ cmake make pkg-config libgtest-dev libbenchmark-dev python3 python3-mido python3-numpy
libsndfile1-dev libmpg123-dev libsoxr-dev libaubio-dev libfftw3-dev libxml2-dev libzip-dev libcli11-dev
libxml2-utils musescore3 fluidsynth fluid-soundfont-gm clang libclang-rt-14-dev"
eval_pkgs="abcmidi planetblupi-music-midi musescore3-common musescore-general-soundfont-small
timgm6mb-soundfont sox python3-scipy python3-mir-eval aubio-tools"
bench_pkgs="hyperfine aubio-tools"
# sonoscriptor serve: its HTTP server and JSON writer (building), and its page's browser test (tests).
pkgs="$pkgs libcpp-httplib-dev nlohmann-json3-dev chromium chromium-driver python3-selenium"
[ "${1:-}" = eval ] && pkgs="$pkgs $eval_pkgs"
[ "${1:-}" = bench ] && pkgs="$pkgs $bench_pkgs"
missing=""
for p in $pkgs; do
  dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" != 0 ]; then
  echo "missing Debian packages:$missing (install them with apt-get as root)" >&2
  exit 1
fi
echo "installing:$missing"
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
