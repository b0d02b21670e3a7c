#!/bin/sh
# Installs the Debian packages a task needs, when some are missing and we may install them.
# The one place that lists them, in two lists: what building and `make demo` need, and what
# only the tests need.
#   tools/deps.sh          building and the demo (make, make demo, make install)
#   tools/deps.sh test     those and the tests' (make test, make test-sanitize, make fuzz, CI)
#   tools/deps.sh package  those and dpkg-shlibdeps for the Debian package (make package)
#   tools/deps.sh eval     the tests' and the evaluation's: the wide corpus (tools/render/wide.py,
#                          whose published pieces are read from some of these packages) and its
#                          harness (tools/eval/run_wide.py, whose plain baseline runs aubiotrack)
#   tools/deps.sh bench    building and the timing against aubio (bench/compare.sh)
set -e
# The compiler and build tools, the test and benchmark frameworks the build compiles against,
# the starter's libraries, and the front-ends' (the web server, the Python module).
build_pkgs="g++ cmake make pkg-config libgtest-dev libbenchmark-dev python3 python3-dev
libsndfile1-dev libmpg123-dev libsoxr-dev libaubio-dev libfftw3-dev libxml2-dev libzip-dev libcli11-dev
nlohmann-json3-dev libcpp-httplib-dev pybind11-dev"
# Only the tests: rendering pieces (FluidSynth, its General MIDI SoundFont, mido, NumPy), checking
# and engraving scores (xmllint, MuseScore 3), the fuzz targets (clang and its libFuzzer runtime),
# the GNU parallel recipe, the Python module's and the web page's tests (pytest, Selenium, Chromium).
test_pkgs="python3-mido python3-numpy fluidsynth fluid-soundfont-gm libxml2-utils musescore3
clang libclang-rt-14-dev parallel python3-pytest python3-selenium chromium chromium-driver"
package_pkgs="dpkg-dev file"
eval_pkgs="abcmidi planetblupi-music-midi musescore3-common musescore-general-soundfont-small
timgm6mb-soundfont sox python3-scipy python3-sklearn python3-mir-eval aubio-tools"
bench_pkgs="hyperfine aubio-tools"
pkgs="$build_pkgs"
case "${1:-}" in
  test) pkgs="$pkgs $test_pkgs" ;;
  package) pkgs="$pkgs $package_pkgs" ;;
  eval) pkgs="$pkgs $test_pkgs $eval_pkgs" ;;
  bench) pkgs="$pkgs $bench_pkgs" ;;
  "") ;;
  *) echo "usage: tools/deps.sh [test|package|eval|bench]" >&2; exit 2 ;;
esac
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
