// Test helpers: scratch folders, commands, the stand-in engine, tones.
#include "tests/app/support.h"

#include "app/starter/protocol/status.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <csignal>

#include <fcntl.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

ScratchDir::ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "starter-test-XXXXXX").string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    path = std::string(mkdtemp(name.data())) + "/";
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
}

Spawned spawnCommand(const std::vector<std::string> &args, const std::vector<std::string> &env,
                     const std::string &dir) {
    static int counter = 0;
    Spawned s;
    std::string tag = std::to_string(getpid()) + "-" + std::to_string(++counter);
    s.outPath = fs::temp_directory_path().string() + "/starter-test-out-" + tag;
    s.errPath = fs::temp_directory_path().string() + "/starter-test-err-" + tag;
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    s.pid = fork();
    if (s.pid == 0) {
        setpgid(0, 0);
        for (const std::string &e : env)
            putenv(const_cast<char *>(e.c_str()));
        int out = open(s.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(s.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int in = open("/dev/null", O_RDONLY);
        dup2(out, 1);
        dup2(err, 2);
        dup2(in, 0);
        if (!dir.empty() && chdir(dir.c_str()) != 0)
            _exit(126);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return s;
}

namespace {

// The result of a spawned command that ended with a wait status.
CommandResult collected(const Spawned &s, int status) {
    CommandResult r;
    r.code = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    r.out = fileText(s.outPath);
    r.err = fileText(s.errPath);
    std::remove(s.outPath.c_str());
    std::remove(s.errPath.c_str());
    return r;
}

}  // namespace

CommandResult waitCommand(const Spawned &s) {
    int status = 0;
    waitpid(s.pid, &status, 0);
    return collected(s, status);
}

CommandResult waitCommandFor(const Spawned &s, double seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    int status = 0;
    while (waitpid(s.pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) {
            kill(-s.pid, SIGKILL);
            waitpid(s.pid, &status, 0);
            CommandResult r = collected(s, status);
            r.code = -2;
            return r;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return collected(s, status);
}

CommandResult runCommand(const std::vector<std::string> &args, const std::vector<std::string> &env,
                         const std::string &dir) {
    return waitCommand(spawnCommand(args, env, dir));
}

CommandResult runStarter(const std::vector<std::string> &args, const std::string &dir,
                         const std::vector<std::string> &env) {
    std::vector<std::string> all = {STARTER_PATH};
    all.insert(all.end(), args.begin(), args.end());
    return runCommand(all, env, dir);
}

bool waitForProgress(const std::string &tmpDir, double timeoutSeconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (std::chrono::steady_clock::now() < end) {
        for (const std::string &name : folderEntries(tmpDir))
            if (readStatus(tmpDir + name + "/status.txt").kind == StatusKind::Progress)
                return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// The stand-in engine: follows the protocol with a scripted run.
//   FAKE_STEPS   progress lines before the end (default 5), FAKE_DELAY seconds between them
//   FAKE_EXIT    exit code at the end (default 0), FAKE_DETAIL its detail; an input
//                named "...fails-C-D..." ends with code C and detail D instead
//   FAKE_RECORD  file that receives a copy of the settings file, FAKE_TEMPO of the tempo file
//   FAKE_NOFINAL no final status line; FAKE_ARGS file that receives the arguments
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

std::string fileText(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeText(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
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
        double f0 = 440.0 * std::pow(2.0, (n.key - 69) / 12.0);
        long first = static_cast<long>(n.start * rate), count = static_cast<long>(n.length * rate);
        for (long i = 0; i < count && first + i < frames; ++i) {
            double t = double(i) / rate, env = std::exp(-3.0 * t) * std::min(1.0, (count - i) / (0.01 * rate));
            double v = 0;
            for (int h = 1; h <= 4; ++h)
                v += std::sin(2 * M_PI * f0 * h * t) / h;
            for (int c = 0; c < channels; ++c)
                x[static_cast<size_t>(first + i) * channels + c] += static_cast<float>(0.2 * env * v);
        }
    }
    bool ok = sf_writef_float(f, x.data(), frames) == frames;
    return sf_close(f) == 0 && ok;
}

std::vector<ToneNote> testMelody() {
    return {{60, 0.0, 0.45}, {64, 0.5, 0.45}, {67, 1.0, 0.45}, {72, 1.5, 0.9},
            {48, 1.5, 0.9},  {69, 2.5, 0.45}, {65, 3.0, 0.45}, {62, 3.5, 0.9}};
}
