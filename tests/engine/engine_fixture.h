// Shared helpers of the engine tests: runs of the engine binary with limits,
// WAV files for them, and checks of a finished MIDI file.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <vector>

#include "tests/support/support.h"

struct EngineLimits {
    long long fileSizeLimit = -1;  // RLIMIT_FSIZE of the engine, -1 for none
    bool unprivileged = false;     // run as nobody when started as root
};

// Starts the engine binary with the arguments; standard output is discarded.
inline Spawned startEngine(const std::vector<std::string> &args, const EngineLimits &limits = {}) {
    Launch launch;
    launch.args = {ENGINE_PATH};
    launch.args.insert(launch.args.end(), args.begin(), args.end());
    launch.discardOutput = true;
    launch.fileSizeLimit = limits.fileSizeLimit;
    launch.unprivileged = limits.unprivileged;
    return spawnProcess(launch);
}

// Exit code of an ended engine run: -1 when it did not exit normally, -2 when it was stopped for running too long.
inline int engineExit(const CommandResult &r) { return r.code == -2 ? -2 : r.signal ? -1 : r.code; }

// Exit code of a started engine, -1 when it did not exit normally.
inline int waitEngine(const Spawned &engine) { return engineExit(waitCommand(engine)); }

// Like waitEngine, but a run still going after `seconds` is killed and gives -2.
inline int waitEngineFor(const Spawned &engine, double seconds) { return engineExit(waitCommandFor(engine, seconds)); }

// A folder with a settings file and a status file holding "0".
struct EngineDir : TempDir {
    std::string settingsPath() const { return file("settings.txt"); }
    std::string statusPath() const { return file("status.txt"); }
    std::string midiPath() const { return file("out.mid"); }
    std::string wavPath() const { return file("in.wav"); }

    // Settings naming in.wav and out.mid, followed by `extra` lines.
    void prepare(const std::string &extra = "", const std::string &status = "0") const {
        writeFile(settingsPath(), "WaveFile=" + wavPath() + "\nMidiFile=" + midiPath() + "\n" + extra);
        writeFile(statusPath(), status);
    }
    // Lets an unprivileged engine read the folder and write the status file.
    void openToAll() const {
        chmod(path.c_str(), 0777);
        for (const char *name : {"settings.txt", "status.txt", "in.wav"}) chmod(file(name).c_str(), 0666);
    }
    int runEngine(const EngineLimits &limits = {}) const {
        return waitEngine(startEngine({settingsPath(), statusPath(), "+"}, limits));
    }
    std::string status() const { return readFile(statusPath()); }
};

inline std::string firstField(const std::string &line) { return line.substr(0, line.find(',')); }

// Mono 16-bit 44100 Hz WAV: silence, with a 440 Hz tone from `toneFrom` to
// `toneTo` seconds.
inline void writeToneWav(const std::string &path, double seconds, double toneFrom, double toneTo,
                         double frequency = 440) {
    const int rate = 44100;
    std::vector<int16_t> samples(static_cast<size_t>(seconds * rate), 0);
    if (toneTo > toneFrom) mixInto(samples, sineWave(rate, frequency, toneTo - toneFrom, 12000),
                                        static_cast<size_t>(toneFrom * rate));
    writeWav16(path, rate, 1, samples);
}

// Mono 8-bit 11025 Hz WAV holding a 440 Hz tone throughout.
inline void writeLongToneWav(const std::string &path, double seconds) {
    const int rate = 11025;
    std::vector<int16_t> tone = sineWave(rate, 440, seconds, 100);
    std::vector<uint8_t> samples(tone.size());
    for (size_t i = 0; i < tone.size(); ++i) samples[i] = static_cast<uint8_t>(128 + tone[i]);
    writeWav8(path, rate, 1, samples);
}

// Checks that a file is a complete engine output: the header area, a track
// length that matches the file, and the end of the track last.
inline void expectCompleteMidi(const std::string &path) {
    std::string d = readFile(path);
    ASSERT_GE(d.size(), 102u) << path;
    EXPECT_EQ(d.substr(0, 4), "MThd");
    EXPECT_EQ(d.substr(14, 4), "MTrk");
    uint32_t length = 0;
    for (int i = 18; i < 22; ++i) length = (length << 8) | static_cast<unsigned char>(d[i]);
    EXPECT_EQ(length, d.size() - 22) << "track length";
    EXPECT_EQ(d.substr(d.size() - 4), std::string("\x00\xFF\x2F\x00", 4)) << "end of track";
}

// Note-ons minus note-offs per note number; empty when every note is closed.
inline std::string unclosedNotes(const std::vector<TrackEvent> &notes) {
    int balance[128] = {};
    for (const TrackEvent &n : notes) balance[n.note & 127] += n.type == 0x90 ? 1 : -1;
    std::string out;
    for (int k = 0; k < 128; ++k)
        if (balance[k] != 0) out += std::to_string(k) + ":" + std::to_string(balance[k]) + " ";
    return out;
}
