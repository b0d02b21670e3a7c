// Shared helpers of the engine tests: runs of the engine binary with limits,
// WAV files for them, and checks of a finished MIDI file.
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "tests/support/support.h"

struct EngineLimits {
    long long fileSizeLimit = -1;  // RLIMIT_FSIZE of the engine, -1 for none
    bool unprivileged = false;     // run as nobody when started as root
};

// Starts the engine binary with the arguments; standard output is discarded.
inline pid_t startEngine(const std::vector<std::string> &args, const EngineLimits &limits = {}) {
    std::vector<std::string> all{ENGINE_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0) dup2(null, STDOUT_FILENO);
        if (limits.fileSizeLimit >= 0) {
            struct rlimit limit{static_cast<rlim_t>(limits.fileSizeLimit), static_cast<rlim_t>(limits.fileSizeLimit)};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
            signal(SIGXFSZ, SIG_DFL);  // the engine itself must keep the signal from killing it
        }
        if (limits.unprivileged && geteuid() == 0) {
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(126);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Exit code of a started engine, -1 when it did not exit normally.
inline int waitEngine(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Like waitEngine, but a run still going after `seconds` is killed and gives -2.
inline int waitEngineFor(pid_t pid, double seconds) {
    for (int waited = 0; waited < seconds * 100; ++waited) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -2;
}

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
inline std::string unclosedNotes(const std::vector<MidiNote> &notes) {
    int balance[128] = {};
    for (const MidiNote &n : notes) balance[n.note & 127] += n.type == 0x90 ? 1 : -1;
    std::string out;
    for (int k = 0; k < 128; ++k)
        if (balance[k] != 0) out += std::to_string(k) + ":" + std::to_string(balance[k]) + " ";
    return out;
}
