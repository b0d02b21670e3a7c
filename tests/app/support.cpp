// Test helpers of the starter: its runs, the stand-in engine, tones.
#include "tests/app/support.h"

#include "app/starter/protocol/status.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>

#include <sndfile.h>

namespace fs = std::filesystem;

CommandResult runStarter(const std::vector<std::string> &args, const std::string &dir,
                         const std::vector<std::string> &env) {
    std::vector<std::string> all = {STARTER_PATH};
    all.insert(all.end(), args.begin(), args.end());
    return runCommand(all, env, dir);
}

bool waitUntil(const std::function<bool()> &condition, double timeoutSeconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool waitForProgress(const std::string &tmpDir, double timeoutSeconds) {
    return waitUntil([&] {
        for (const std::string &name : folderEntries(tmpDir))
            if (readStatus(tmpDir + name + "/status.txt").kind == StatusKind::Progress)
                return true;
        return false;
    }, timeoutSeconds);
}

// The stand-in engine: follows the protocol with a scripted run.
//   FAKE_STEPS   progress lines before the end (default 5), FAKE_DELAY seconds between them
//   FAKE_EXIT    exit code at the end (default 0), FAKE_DETAIL its detail; an input
//                named "...fails-C-D..." ends with code C and detail D instead
//   FAKE_RECORD  file that receives a copy of the settings file, FAKE_TEMPO of the tempo file
//   FAKE_NOFINAL no final status line; FAKE_ARGS file that receives the arguments
//   FAKE_PID     file that receives the stand-in's process id
//   FAKE_MIDI    a MIDI file written as the output instead of the built-in two notes
// It honours -1 or a deleted status file like the engine: partial MIDI, -1.000, exit 1.
std::string writeFakeEngine(const std::string &dir) {
    std::string path = dir + "fake-engine";
    writeText(path, R"SH(#!/bin/bash
[ "$3" = "+" ] || exit 0
settings=${1//\?/ }
status=${2//\?/ }
[ -n "$FAKE_RECORD" ] && cp "$settings" "$FAKE_RECORD"
[ -n "$FAKE_ARGS" ] && printf '%s\n' "$@" > "$FAKE_ARGS"
[ -n "$FAKE_PID" ] && echo $$ > "$FAKE_PID"
tempo=$(sed -n 's/^TempoFile=//p' "$settings")
[ -n "$FAKE_TEMPO" ] && [ -n "$tempo" ] && cp "$tempo" "$FAKE_TEMPO"
midi=$(sed -n 's/^MidiFile=//p' "$settings")
writemidi() {
  [ -n "$FAKE_MIDI" ] && { cp "$FAKE_MIDI" "$midi"; return; }
  printf 'MThd\x00\x00\x00\x06\x00\x00\x00\x01\x00\x60MTrk\x00\x00\x00\x1b\x00\xff\x59\x02\xfd\x00\x00\x90\x3d\x64\x60\x80\x3d\x40\x00\x90\x46\x64\x60\x80\x46\x40\x00\xff\x2f\x00' > "$midi"
}
wave=$(sed -n 's/^WaveFile=//p' "$settings")
steps=${FAKE_STEPS:-5}
code=${FAKE_EXIT:-0}
detail=${FAKE_DETAIL:-0}
if [[ "$wave" =~ fails-([0-9])-([0-9]+) ]]; then code=${BASH_REMATCH[1]}; detail=${BASH_REMATCH[2]}; fi
for ((i = 0; i < steps; i++)); do
  v=$(head -c 12 "$status" 2>/dev/null) || v=missing
  if [ "$v" = missing ] || [[ "$v" == -1* ]]; then
    rm -f "$status"; writemidi; printf -- '-1.000,61,70,8,0' > "$status"; exit 1
  fi
  printf '%d.000000,61,70,8,0' $((i * 100 / steps)) > "$status"
  sleep "${FAKE_DELAY:-0.05}"
done
if [ "$code" = 0 ]; then
  writemidi
  [ -n "$FAKE_NOFINAL" ] || printf '100,61,70,-3,0' > "$status"
  exit 0
fi
rm -f "$midi"
printf -- '-%d.%03d,128,-1,8,0' "$code" "$detail" > "$status"
exit "$code"
)SH");
    fs::permissions(path, fs::perms::owner_all);
    return path;
}

std::vector<std::string> folderEntries(const std::string &dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(dir, ec))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

bool writeTones(const std::string &path, int format, int rate, int channels,
                const std::vector<ToneNote> &notes, double seconds) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f)
        return false;
    sf_command(f, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    long frames = static_cast<long>(seconds * rate);
    std::vector<float> x(static_cast<size_t>(frames) * channels, 0.0f);
    for (const ToneNote &n : notes) {
        double f0 = 440.0 * std::pow(2.0, (n.key - 69) / 12.0 + n.cents / 1200);
        long first = static_cast<long>(n.start * rate), count = static_cast<long>(n.length * rate);
        for (long i = 0; i < count && first + i < frames; ++i) {
            double t = double(i) / rate, env = std::exp(-3.0 * t) * std::min(1.0, (count - i) / (0.01 * rate));
            double v = 0;
            for (int h = 1; h <= 4; ++h)
                v += std::sin(2 * M_PI * f0 * h * t) / h;
            for (int c = 0; c < channels; ++c)
                x[static_cast<size_t>(first + i) * channels + c] += static_cast<float>(0.2 * n.gain * env * v);
        }
    }
    bool ok = sf_writef_float(f, x.data(), frames) == frames;
    return sf_close(f) == 0 && ok;
}

std::vector<ToneNote> testMelody() {
    return {{60, 0.0, 0.45}, {64, 0.5, 0.45}, {67, 1.0, 0.45}, {72, 1.5, 0.9},
            {48, 1.5, 0.9},  {69, 2.5, 0.45}, {65, 3.0, 0.45}, {62, 3.5, 0.9}};
}

std::vector<std::string> helpOptions(const std::string &help, const std::string &optionLine) {
    const std::regex pattern(optionLine);
    std::istringstream lines(help);
    std::vector<std::string> names;
    for (std::string line; std::getline(lines, line);) {
        std::smatch name;
        if (std::regex_search(line, name, pattern))
            names.push_back(name[1].str());
    }
    return names;
}
