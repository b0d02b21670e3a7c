// SIGTERM and SIGHUP end a run at once, in whichever stage it is: exit code
// 128 + signal, no output, no temporary files, and no engine left running.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <sndfile.h>

#include "tests/app/starter_rig.h"

namespace fs = std::filesystem;

namespace {

struct StopSignals : StarterRig {
    // Waits up to `seconds` for the stand-in engine (whose process id it wrote into
    // pid.txt) to be gone; true when it is.
    bool engineGone(double seconds) {
        const pid_t pid = static_cast<pid_t>(std::atol(fileText(dir.path + "pid.txt").c_str()));
        return pid > 0 && waitUntil([pid] { return processGone(pid); }, seconds);
    }

    // Waits until the run has made its private temporary folder; false on time-out.
    bool runUnderWay(double seconds) {
        return waitUntil([this] { return !folderEntries(tmp).empty(); }, seconds);
    }
};

}  // namespace

// The signal goes to the starter alone, as `kill PID` or a closing terminal
// session sends it: the starter itself must stop the engine it started.
TEST_F(StopSignals, WhileTheEngineRunsEndTheRunAndTheEngine) {
    for (int signal : {SIGTERM, SIGHUP}) {
        std::remove((dir.path + "pid.txt").c_str());
        Spawned s = start({"song.wav", "--tempo", "100"},
                          {"FAKE_STEPS=400", "FAKE_DELAY=0.05", "FAKE_PID=" + dir.path + "pid.txt"});
        ASSERT_TRUE(waitForProgress(tmp, 30)) << strsignal(signal);
        kill(s.pid, signal);
        CommandResult r = waitCommandFor(s, 15);
        EXPECT_EQ(r.code, 128 + signal) << strsignal(signal) << ": " << r.err;
        EXPECT_TRUE(engineGone(5)) << strsignal(signal);
        EXPECT_FALSE(fs::exists(dir.path + "song.mid")) << strsignal(signal);
        EXPECT_TRUE(leftNothingBehind()) << strsignal(signal);
    }
}

// A stage that takes long (here the beat finding on four minutes of music)
// stops on the signal too, rather than running to its end first.
TEST_F(StopSignals, WhileTheBeatsAreFoundEndTheRunAtOnce) {
    std::vector<ToneNote> beats;
    for (int i = 0; i < 480; ++i)
        beats.push_back({48 + (i * 7) % 24, i * 0.5, 0.25});
    ASSERT_TRUE(writeTones(dir.path + "long.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, beats, 240));
    auto since = [](std::chrono::steady_clock::time_point t) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    };
    auto begin = std::chrono::steady_clock::now();
    ASSERT_EQ(run({"--beats", "long.wav"}).code, 0);
    const double wholeBeatFinding = since(begin);
    for (int signal : {SIGTERM, SIGHUP}) {
        std::remove((dir.path + "args.txt").c_str());
        Spawned s = start({"long.wav"}, {"FAKE_ARGS=" + dir.path + "args.txt"});
        ASSERT_TRUE(runUnderWay(30)) << strsignal(signal);
        auto sent = std::chrono::steady_clock::now();
        kill(s.pid, signal);
        CommandResult r = waitCommandFor(s, 60);
        EXPECT_LT(since(sent), wholeBeatFinding / 2) << strsignal(signal) << ": the stage ran on";
        EXPECT_EQ(r.code, 128 + signal) << strsignal(signal) << ": " << r.err;
        EXPECT_FALSE(fs::exists(dir.path + "args.txt")) << strsignal(signal) << ": the engine was started";
        EXPECT_FALSE(fs::exists(dir.path + "long.mid")) << strsignal(signal);
        EXPECT_TRUE(leftNothingBehind()) << strsignal(signal);
    }
}
