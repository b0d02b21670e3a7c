// SIGTERM, SIGHUP and a second Ctrl-C end a run at once, in whichever stage it
// is: exit code 128 + signal (130), in the report too, no output, no temporary
// files, and no engine left running.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>
#include <sndfile.h>
#include <sys/syscall.h>
#include <unistd.h>

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
        std::remove((dir.path + "report.jsonl").c_str());
        Spawned s = start({"song.wav", "--tempo", "100", "--report", "report.jsonl"},
                          {"FAKE_STEPS=400", "FAKE_DELAY=0.05", "FAKE_PID=" + dir.path + "pid.txt"});
        ASSERT_TRUE(waitForProgress(tmp, 30)) << strsignal(signal);
        kill(s.pid, signal);
        CommandResult r = waitCommandFor(s, 15);
        EXPECT_EQ(r.code, 128 + signal) << strsignal(signal) << ": " << r.err;
        // The report's line of the stopped file gives the same code as the run.
        nlohmann::json line = nlohmann::json::parse(fileText(dir.path + "report.jsonl"), nullptr, false);
        ASSERT_FALSE(line.is_discarded()) << strsignal(signal);
        EXPECT_EQ(line.value("exit_code", 0), 128 + signal) << strsignal(signal);
        EXPECT_EQ(line.value("exit_kind", ""), "stopped") << strsignal(signal);
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

// Two Ctrl-C presses that reach two threads of the starter at the same moment (the handler may run
// on any thread) during the conversion: neither is lost, and the run stops at once.
TEST_F(StopSignals, TwoCtrlCPressesOnTwoThreadsStopTheRun) {
    // 40 minutes at 1000 Hz: some seconds of conversion to 44100 Hz.
    ASSERT_TRUE(writeTones(dir.path + "long.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1000, 1, testMelody(), 2400));
    for (int attempt = 0; attempt < 3; ++attempt) {
        Spawned s = start({"--tempo", "100", "long.wav"});
        ASSERT_TRUE(runUnderWay(30));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        std::vector<std::string> threads = folderEntries("/proc/" + std::to_string(s.pid) + "/task");
        ASSERT_GE(threads.size(), 2u) << "the main thread and a worker";
        for (size_t i = 0; i < 2; ++i)
            syscall(SYS_tgkill, s.pid, std::atoi(threads[i].c_str()), SIGINT);
        CommandResult r = waitCommandFor(s, 20);
        EXPECT_EQ(r.code, 130) << "attempt " << attempt << ": " << r.err;
        EXPECT_NE(r.err.find("stopped at once"), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(dir.path + "long.mid"));
        EXPECT_TRUE(leftNothingBehind());
    }
}
