// Output bytes as a contract: the engine on real recordings under several
// settings mixes against recorded fingerprints of its MIDI file and final
// status line, also with a level matrix of a few rows, and the threaded
// against the single-threaded engine on random settings.
// SONOSCRIPTOR_WRITE_GOLDEN=1 rewrites the fingerprint file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "tests/support/support.h"

namespace {

const std::string Golden = SOURCE_DIR "/tests/engine/golden/outputs.txt";

// Whether this is the sanitizer build, whose slow engine gets short clips only.
constexpr bool Sanitized =
#if defined(__SANITIZE_ADDRESS__)
    true;
#else
    false;
#endif

// One engine run: the recording and the settings lines after WaveFile/MidiFile.
struct Case {
    const char *name;
    const char *wave;
    std::string settings;
    bool short_;  // short enough for the sanitizer build
};

// What a run leaves behind, in comparable form.
struct Outcome {
    int exitCode;
    std::string midi;
    std::string status;
};

std::string fingerprint(const Outcome &o) {
    uint64_t h = 1469598103934665603ull;  // FNV-1a, 64 bits
    for (unsigned char c : o.midi) h = (h ^ c) * 1099511628211ull;
    std::ostringstream out;
    out << o.exitCode << ' ' << o.midi.size() << ' ' << std::hex << h << ' ' << o.status;
    return out.str();
}

// Runs the engine with `threads` worker threads (0: the default).
Outcome runWith(const TempDir &dir, const std::string &wave, const std::string &extra, int threads) {
    if (threads > 0)
        setenv("SONOSCRIPTOR_THREADS", std::to_string(threads).c_str(), 1);
    else
        unsetenv("SONOSCRIPTOR_THREADS");
    const std::string midi = dir.file("out.mid");
    std::remove(midi.c_str());
    EngineOutcome r = runEngineWith(dir, "WaveFile=" + wave + "\nMidiFile=" + midi + "\n" + extra);
    unsetenv("SONOSCRIPTOR_THREADS");
    return {r.exitCode, readFile(midi), r.status};
}

// A tempo file of beat durations in milliseconds, slowing from 520 to 610.
std::string tempoFile(const TempDir &dir) {
    std::string bytes;
    for (int ms = 520; ms <= 610; ms += 3) {
        bytes.push_back(static_cast<char>(ms & 0xFF));
        bytes.push_back(static_cast<char>(ms >> 8));
    }
    writeFile(dir.file("tempo.bin"), bytes);
    return dir.file("tempo.bin");
}

std::vector<Case> cases(const TempDir &dir) {
    const std::string filters = "ExePath=" SOURCE_DIR "/data/\n";
    return {
        {"prelude-defaults", "examples/prelude.wav", "", false},
        {"prelude-starter", "examples/prelude.wav", "VirtualSR=11025\nResolution=4\n", false},
        {"prelude-cluster", "examples/prelude.wav", "ClusterDetect=1\nConstrain=1\nKeySignature=0\nAGC=1\n", false},
        {"prelude-tempo", "examples/prelude.wav", "TempoFile=" + tempoFile(dir) + "\nVirtualSR=22050\n", false},
        {"minuet-defaults", "examples/minuet-ritardando.wav", "", false},
        {"minuet-starter", "examples/minuet-ritardando.wav", "VirtualSR=11025\nResolution=4\n", false},
        {"minuet-velocity", "examples/minuet-ritardando.wav",
         "AutoDetectKey=1\nKeyMin=36\nGain=300\nVelocityOn=1\nVelocityOff=1\n", false},
        {"clip-defaults", "tests/tools/piano-clip.wav", "", true},
        {"clip-finest", "tests/tools/piano-clip.wav",
         "Sensitivity=7\nResolution=8\nEntireWave=0\nStartPoint=3.9\nEndPoint=4.3\n", false},
        {"clip-filter", "tests/tools/piano-clip.wav", filters + "Filter=0\n", true},
        {"clip-filter-fine", "tests/tools/piano-clip.wav",
         filters + "Filter=0\nSensitivity=3\nResolution=4\nEntireWave=0\nStartPoint=1\nEndPoint=4\n", true},
        // Chord blocks longer than the level matrix holds: their rows are measured again when decided.
        {"clip-finest-long-chords", "tests/tools/piano-clip.wav",
         "Sensitivity=7\nResolution=8\nChordRes=99\nKeyMin=72\nTempo=480\nEntireWave=0\nStartPoint=3\nEndPoint=4\n",
         false},
        {"clip-tempo-long-chords", "tests/tools/piano-clip.wav",
         "Sensitivity=7\nResolution=8\nChordRes=99\nKeyMin=72\nTempoFile=" + tempoFile(dir) +
             "\nEntireWave=0\nStartPoint=1\nEndPoint=4.5\n",
         false},
    };
}

std::map<std::string, std::string> readGolden() {
    std::map<std::string, std::string> golden;
    std::ifstream in(Golden);
    std::string line;
    while (std::getline(in, line)) {
        const size_t blank = line.find(' ');
        if (blank != std::string::npos) golden[line.substr(0, blank)] = line.substr(blank + 1);
    }
    return golden;
}

TEST(OutputBytes, RecordingsMatchTheirRecordedFingerprints) {
    TempDir dir;
    const bool write = std::getenv("SONOSCRIPTOR_WRITE_GOLDEN") != nullptr;
    const auto golden = readGolden();
    std::ofstream out;
    if (write) out.open(Golden);
    for (const Case &c : cases(dir)) {
        if (Sanitized && !c.short_ && !write) continue;
        const std::string print = fingerprint(runWith(dir, SOURCE_DIR "/" + std::string(c.wave), c.settings, 0));
        if (write) {
            out << c.name << ' ' << print << '\n';
            continue;
        }
        ASSERT_TRUE(golden.count(c.name)) << c.name;
        EXPECT_EQ(print, golden.at(c.name)) << c.name;
    }
}

// A level matrix of a few rows (so that chord blocks are measured again in
// many turns, with and without threads and tempo files) gives the recorded bytes.
TEST(OutputBytes, SmallLevelMatrixGivesTheRecordedBytes) {
    TempDir dir;
    const auto golden = readGolden();
    const char *chosen[] = {"prelude-tempo", "clip-defaults", "clip-finest", "clip-filter-fine", "clip-tempo-long-chords"};
    for (const Case &c : cases(dir)) {
        if (std::find(std::begin(chosen), std::end(chosen), std::string(c.name)) == std::end(chosen)) continue;
        if (Sanitized && !c.short_) continue;
        for (const char *bytes : {"1", "9000"}) {
            setenv("SONOSCRIPTOR_LEVEL_MEMORY", bytes, 1);
            for (int threads : {1, 3}) {
                const Outcome o = runWith(dir, SOURCE_DIR "/" + std::string(c.wave), c.settings, threads);
                EXPECT_EQ(fingerprint(o), golden.at(c.name)) << c.name << ", " << bytes << " bytes, " << threads;
            }
            unsetenv("SONOSCRIPTOR_LEVEL_MEMORY");
        }
    }
}

// Random settings that reach the analysis paths: grids, key ranges, filters,
// cluster removal, constraints, gain and the region of the clip.
std::string randomSettings(std::mt19937 &rng) {
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    std::ostringstream s;
    const bool filter = pick(0, 3) == 0;
    if (filter) s << "ExePath=" SOURCE_DIR "/data/\nFilter=" << pick(0, 5) << '\n';
    const int vsr[] = {11025, 22050, 44100};
    s << "VirtualSR=" << vsr[pick(0, 2)] << "\nSensitivity=" << pick(0, 5) << "\nResolution=" << pick(0, 5)
      << "\nKeyMin=" << pick(20, 60) << "\nKeyMax=" << pick(61, 110) << "\nClusterDetect=" << pick(0, 1)
      << "\nConstrain=" << pick(0, 1) << "\nKeySignature=" << pick(-7, 7) << "\nAGC=" << pick(0, 1)
      << "\nPauseBetweenNotes=" << (pick(0, 4) == 0) << "\nOutputThreshold=" << pick(1, 12)
      << "\nChordRes=" << pick(1, 8) << "\nPhaseMult=" << pick(1, 9) << "\nBufferIncrement=" << pick(0, 6)
      << "\nEntireWave=0\nStartPoint=" << pick(0, 60) * 0.1 << "\nEndPoint=" << pick(0, 90) * 0.1 << '\n';
    return s.str();
}

TEST(OutputBytes, ThreadedRunsEqualTheSingleThreadedRun) {
    TempDir dir;
    std::mt19937 rng(16);
    const std::string clip = SOURCE_DIR "/tests/tools/piano-clip.wav";
    const int runs = Sanitized ? 3 : 12;
    for (int i = 0; i < runs; ++i) {
        std::string extra = randomSettings(rng);
        if (Sanitized) extra += "EndPoint=0.6\nStartPoint=0.2\n";  // later lines win
        const Outcome single = runWith(dir, clip, extra, 1);
        const Outcome threaded = runWith(dir, clip, extra, 3);
        EXPECT_EQ(fingerprint(threaded), fingerprint(single)) << extra;
        EXPECT_GT(single.midi.size(), 0u) << extra;
    }
}

}  // namespace
